# A daemon's systemd unit and its options file, installed where the
# install prefix says:
# - for the packages' /usr prefix, where Debian wants them:
#   /lib/systemd/system and /etc/default;
# - for any other prefix, below it: PREFIX/lib/systemd/system and
#   PREFIX/etc/default, the unit naming the program and the options file by
#   the prefix given when installing (`cmake --install --prefix`), so that
#   nothing is written outside the prefix and the unit runs what was
#   installed beside it.
#
#   varnik_install_service(<name>
#     UNIT_TEMPLATE <file.service.in>   @PROGRAM@ and @OPTIONS_FILE@ are
#                                       replaced by the installed paths
#     PROGRAM <target>                  installed in CMAKE_INSTALL_SBINDIR
#     OPTIONS_FILE <file>               installed as default/<name>
#     COMPONENT <component>)
#
# Sets <name>_CONFFILE in the caller's scope: the options file's path in
# the packages, for varnik_debian_package(CONFFILES).

set(VARNIK_SYSTEMD_UNIT_DIR "" CACHE PATH
    "Where the daemons' units are installed; empty: from the install prefix")

function(varnik_install_service name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "UNIT_TEMPLATE;PROGRAM;OPTIONS_FILE;COMPONENT" "")
  if(VARNIK_SYSTEMD_UNIT_DIR)
    set(unit_dir ${VARNIK_SYSTEMD_UNIT_DIR})
  elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir /lib/systemd/system)
  else()
    set(unit_dir lib/systemd/system)
  endif()
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(options_dir ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
  else()
    set(options_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
  endif()

  install(TARGETS ${arg_PROGRAM} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
          COMPONENT ${arg_COMPONENT})
  install(FILES ${arg_OPTIONS_FILE} DESTINATION ${options_dir} RENAME ${name}
          COMPONENT ${arg_COMPONENT})
  # The unit is made when installing, from the prefix of that install.
  set(unit ${CMAKE_CURRENT_BINARY_DIR}/installed-unit/${name}.service)
  install(CODE "
    function(varnik_installed_path out folder file)
      if(IS_ABSOLUTE \"\${folder}\")
        set(\${out} \"\${folder}/\${file}\" PARENT_SCOPE)
      else()
        set(\${out} \"\${CMAKE_INSTALL_PREFIX}/\${folder}/\${file}\" PARENT_SCOPE)
      endif()
    endfunction()
    varnik_installed_path(PROGRAM \"${CMAKE_INSTALL_SBINDIR}\" \"$<TARGET_FILE_NAME:${arg_PROGRAM}>\")
    varnik_installed_path(OPTIONS_FILE \"${options_dir}\" \"${name}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/${arg_UNIT_TEMPLATE}\" \"${unit}\" @ONLY)
  " COMPONENT ${arg_COMPONENT})
  install(FILES ${unit} DESTINATION ${unit_dir} COMPONENT ${arg_COMPONENT})

  set(${name}_CONFFILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/${name} PARENT_SCOPE)
endfunction()
