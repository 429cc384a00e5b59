# What the tests need beyond the build's own packages, looked for before
# the tests are switched on (include() it before CTest), so that a plain
# `cmake -S . -B build` needs only the packages sample/run-sample installs:
#
# - BUILD_TESTING given (-DBUILD_TESTING=ON, as tests/run-all does): a
#   missing tool stops the configuration, naming its Debian package;
# - not given: the tests are built when every tool is there, and left out
#   otherwise, with one line saying what to install. That choice is made
#   again at every configuration, so installing the tools later and
#   configuring again turns the tests on; a value given once stays.
#
# Each tool is a cache variable: one set to a program that does not exist
# counts as missing.

set(VARNIK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
find_program(VARNIK_BATS bats)
find_program(VARNIK_HELP2MAN help2man)
find_program(VARNIK_MAN man)
find_program(VARNIK_MBPOLL mbpoll)
include(${CMAKE_CURRENT_LIST_DIR}/VarnikPython.cmake)

# The Python package's tests need the host's interpreter to load the
# build's libraries: not in the i386 and sanitizer builds
# (tests/bindings/python says why).
if(NOT CMAKE_CROSSCOMPILING AND NOT VARNIK_SANITIZE)
  set(VARNIK_PYTHON_TESTS ON)
else()
  set(VARNIK_PYTHON_TESTS OFF)
endif()

# <out>: "package: what is missing" for each test tool that is not there.
function(varnik_missing_test_tools out)
  set(missing "")
  if(NOT EXISTS "${VARNIK_GTEST_SOURCE_DIR}/CMakeLists.txt")
    list(APPEND missing "googletest: no GoogleTest sources in ${VARNIK_GTEST_SOURCE_DIR}")
  endif()
  # "package program variable"
  foreach(tool IN ITEMS "bats bats VARNIK_BATS" "help2man help2man VARNIK_HELP2MAN"
                        "man-db man VARNIK_MAN" "mbpoll mbpoll VARNIK_MBPOLL")
    separate_arguments(tool)
    list(GET tool 0 package)
    list(GET tool 1 program)
    list(GET tool 2 variable)
    if(NOT EXISTS "${${variable}}")
      list(APPEND missing "${package}: no ${program} program (${variable})")
    endif()
  endforeach()
  if(VARNIK_PYTHON_TESTS)
    foreach(module IN ITEMS pytest build setuptools wheel)
      if(NOT VARNIK_PYTHON)
        list(APPEND missing "python3-${module}: no python3")
        continue()
      endif()
      execute_process(COMMAND ${VARNIK_PYTHON} -c "import ${module}"
        RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
      if(failed)
        list(APPEND missing "python3-${module}: ${VARNIK_PYTHON} cannot import ${module}")
      endif()
    endforeach()
  endif()
  set(${out} "${missing}" PARENT_SCOPE)
endfunction()

# BUILD_TESTING as given, or as chosen here last time and not changed
# since (VARNIK_TESTS_CHOSEN holds that choice).
function(varnik_choose_testing)
  set(given FALSE)
  if(DEFINED CACHE{BUILD_TESTING})
    if(NOT DEFINED CACHE{VARNIK_TESTS_CHOSEN})
      set(given TRUE)
    elseif((BUILD_TESTING AND NOT VARNIK_TESTS_CHOSEN) OR (NOT BUILD_TESTING AND VARNIK_TESTS_CHOSEN))
      set(given TRUE)
    endif()
  endif()
  if(given)
    unset(VARNIK_TESTS_CHOSEN CACHE)
    if(NOT BUILD_TESTING)
      return()
    endif()
  endif()

  varnik_missing_test_tools(missing)
  set(packages "${missing}")
  list(TRANSFORM packages REPLACE ":.*" "")
  list(REMOVE_DUPLICATES packages)
  list(JOIN packages " " packages)
  set(install "sudo apt-get install --no-install-recommends ${packages}")
  if(given AND missing)
    list(JOIN missing "\n  " reasons)
    message(FATAL_ERROR "BUILD_TESTING is ON, but the tests need Debian packages that are "
      "missing:\n  ${reasons}\nInstall them (${install}), or configure without -DBUILD_TESTING=ON.")
  elseif(NOT given)
    if(missing)
      message(STATUS "Tests not built: they need ${packages} (${install}, then configure again)")
      set(choice OFF)
    else()
      set(choice ON)
    endif()
    set(BUILD_TESTING ${choice} CACHE BOOL "Build the testing tree." FORCE)
    set(VARNIK_TESTS_CHOSEN ${choice} CACHE INTERNAL "BUILD_TESTING as chosen from the tools found")
  endif()
endfunction()

varnik_choose_testing()
