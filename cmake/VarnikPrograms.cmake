# Programs that link the project's own shared libraries find them through
# their RUNPATH: the build's library folders in the build tree; installed,
# the library folder of their own prefix, relative to themselves (none
# under /usr, where the loader looks anyway).
#
# CMake would link one binary for both places, its build-tree RUNPATH
# padded with empty elements (a trailing ":", or ":::" alone) to make room
# for the one it writes when installing. Until then the loader takes each
# empty element for the working directory: it looks for every library
# there first, and would load one planted there. So such a program is
# linked twice from the same objects, each copy with its own RUNPATH from
# the start, and nothing is rewritten:
#
#   varnik_program(<name> <object library>)
#
#   <name>              the build tree's program: the tests, the README's
#                       commands and help2man run it; never installed
#   <name>_for_install  the same program, of the same file name, in
#                       for-install/ below the folder's build directory:
#                       what install(TARGETS) and the packages take
#
# The object library carries the sources and, as PUBLIC, what they link.

# Installed below a prefix other than /usr, $ORIGIN's way from bin/ (or
# sbin/) to the prefix's library folder.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  file(RELATIVE_PATH bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set(VARNIK_INSTALLED_RUNPATH "$ORIGIN/${bin_to_lib}")
else()
  set(VARNIK_INSTALLED_RUNPATH "")
endif()

function(varnik_program name objects)
  add_executable(${name})
  target_link_libraries(${name} PRIVATE ${objects})

  add_executable(${name}_for_install)
  target_link_libraries(${name}_for_install PRIVATE ${objects})
  set_target_properties(${name}_for_install PROPERTIES
    OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/for-install
    INSTALL_RPATH "${VARNIK_INSTALLED_RUNPATH}"
    BUILD_WITH_INSTALL_RPATH ON)
endfunction()
