# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives every package with a shared library in the loader's folders a
# postinst and postrm that only call ldconfig. Debian rebuilds the loader's
# cache through libc's trigger instead, which those packages activate (their
# triggers file): the two scripts are taken out and the package rebuilt,
# with nothing else changed.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-calls/tree)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree}/..)
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree}
    COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path ${tree}/DEBIAN/${script})
    if(EXISTS ${path})
      file(READ ${path} text)
      string(REGEX REPLACE "#!/bin/sh|set -e|if \\[ \"\\$1\" = \"(configure|remove)\" \\]; then|ldconfig|fi|[ \t\n]" "" rest "${text}")
      if(NOT rest STREQUAL "")
        message(FATAL_ERROR "${package}: its ${script} does more than call ldconfig:\n${text}")
      endif()
      file(REMOVE ${path})
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    file(STRINGS ${tree}/DEBIAN/triggers triggers REGEX "^activate-noawait ldconfig$")
    if(NOT triggers)
      message(FATAL_ERROR "${package}: calls ldconfig but activates no ldconfig trigger")
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${package}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
