# Debian's own Python 3 (/usr/bin/python3), for the Python package's tests
# and wheel: an interpreter found first on PATH (pyenv, a virtualenv) lacks
# Debian's python3-pytest and python3-build.
#
#   VARNIK_PYTHON               the interpreter, or empty when there is none
#   varnik_python_require(MODULE... PACKAGES "debian packages")
#                               stops the configuration, naming the Debian
#                               packages, unless the interpreter imports MODULE
find_program(VARNIK_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VARNIK_PYTHON python3)

function(varnik_python_require)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PACKAGES" "")
  if(NOT VARNIK_PYTHON)
    message(FATAL_ERROR "No python3 found: install ${arg_PACKAGES} (apt-get install python3 ${arg_PACKAGES})")
  endif()
  foreach(module IN LISTS arg_UNPARSED_ARGUMENTS)
    execute_process(COMMAND ${VARNIK_PYTHON} -c "import ${module}"
      RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing)
      message(FATAL_ERROR "${VARNIK_PYTHON} cannot import ${module}: install ${arg_PACKAGES} "
        "(apt-get install ${arg_PACKAGES}), or point VARNIK_PYTHON at an interpreter that has it")
    endif()
  endforeach()
endfunction()
