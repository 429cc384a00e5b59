# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS),
# for what CPack 3.25 cannot say itself. Each package is unpacked, changed
# and built again, with nothing else touched:
#
# - CPack gives every package with a shared library in the loader's
#   folders a postinst and postrm that only call ldconfig. Debian rebuilds
#   the loader's cache through libc's trigger instead, which those packages
#   activate (their triggers file): the two scripts are taken out.
# - The packages declared MULTI_ARCH get their Multi-Arch field
#   (CPACK_VARNIK_MULTI_ARCH, "package=value" items), so that the amd64 and
#   i386 builds of a library install side by side.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/finish/tree)
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${tree}/..)
  execute_process(COMMAND dpkg-deb --raw-extract ${package} ${tree}
    COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)
  file(STRINGS ${tree}/DEBIAN/control name REGEX "^Package: ")
  string(REGEX REPLACE "^Package: " "" name "${name}")
  foreach(item IN LISTS CPACK_VARNIK_MULTI_ARCH)
    if(item MATCHES "^${name}=(.+)$")
      file(READ ${tree}/DEBIAN/control control)
      string(REGEX REPLACE "(\nArchitecture: [^\n]*\n)" "\\1Multi-Arch: ${CMAKE_MATCH_1}\n" control "\n${control}")
      string(SUBSTRING "${control}" 1 -1 control)
      file(WRITE ${tree}/DEBIAN/control "${control}")
      set(changed TRUE)
    endif()
  endforeach()
  # A package that ships no shared library activates no ldconfig trigger:
  # its maintainer scripts are its own (varnik_debian_package's
  # MAINTAINER_SCRIPTS) and stay.
  set(triggers "")
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(STRINGS ${tree}/DEBIAN/triggers triggers REGEX "^activate-noawait ldconfig$")
  endif()
  foreach(script postinst postrm)
    set(path ${tree}/DEBIAN/${script})
    if(EXISTS ${path} AND NOT triggers)
      file(STRINGS ${path} ldconfig_calls REGEX "ldconfig")
      if(ldconfig_calls)
        message(FATAL_ERROR "${package}: its ${script} calls ldconfig but it activates no ldconfig trigger")
      endif()
    elseif(EXISTS ${path})
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
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${tree} ${package}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
