# A daemon's program, systemd unit and options file, installed where the
# install prefix says, as it is given when installing (`cmake --install
# --prefix`, CPack, DESTDIR):
# - for the prefix /usr (the packages), where Debian wants them:
#   /lib/systemd/system and /etc/default;
# - for any other prefix, below it: PREFIX/lib/systemd/system and
#   PREFIX/etc/default, so that nothing is written outside the prefix.
# The unit names the program and the options file of that prefix.
#
#   varnik_install_service(<name>
#     UNIT_TEMPLATE <file.service.in>   @PROGRAM@ and @OPTIONS_FILE@ are
#                                       replaced by the installed paths
#     PROGRAM <target>                  installed in CMAKE_INSTALL_SBINDIR
#     OPTIONS_FILE <file>               installed as default/<name>
#     COMPONENT <component>
#     [PROGRAM_INSTALLED])              the program is installed by another
#                                       unit's call: this unit only names it
#
# Sets <name>_CONFFILE in the caller's scope: the options file's path in
# the packages, for varnik_debian_package(CONFFILES).

set(VARNIK_SYSTEMD_UNIT_DIR "" CACHE PATH
    "Where the daemons' units are installed; empty: from the install prefix")

function(varnik_install_service name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "PROGRAM_INSTALLED" "UNIT_TEMPLATE;PROGRAM;OPTIONS_FILE;COMPONENT" "")
  if(NOT arg_PROGRAM_INSTALLED)
    install(TARGETS ${arg_PROGRAM} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR}
            COMPONENT ${arg_COMPONENT})
  endif()
  # Run when installing: the prefix is only known then. A folder given as
  # an absolute path (-DCMAKE_INSTALL_SYSCONFDIR=/etc) is taken as it is.
  install(CODE "
    get_filename_component(prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    function(varnik_below_prefix out folder)
      if(IS_ABSOLUTE \"\${folder}\")
        set(\${out} \"\${folder}\" PARENT_SCOPE)
      else()
        set(\${out} \"\${prefix}/\${folder}\" PARENT_SCOPE)
      endif()
    endfunction()
    if(prefix STREQUAL \"/usr\")
      set(unit_dir /lib/systemd/system)
      set(options_dir /etc/default)
    else()
      varnik_below_prefix(unit_dir lib/systemd/system)
      varnik_below_prefix(options_dir \"${CMAKE_INSTALL_SYSCONFDIR}/default\")
    endif()
    if(NOT \"${VARNIK_SYSTEMD_UNIT_DIR}\" STREQUAL \"\")
      set(unit_dir \"${VARNIK_SYSTEMD_UNIT_DIR}\")
    endif()
    varnik_below_prefix(sbin_dir \"${CMAKE_INSTALL_SBINDIR}\")
    set(PROGRAM \"\${sbin_dir}/$<TARGET_FILE_NAME:${arg_PROGRAM}>\")
    set(OPTIONS_FILE \"\${options_dir}/${name}\")
    file(INSTALL DESTINATION \"\${options_dir}\" TYPE FILE RENAME ${name}
         FILES \"${CMAKE_CURRENT_SOURCE_DIR}/${arg_OPTIONS_FILE}\")
    # Made in a folder of this install's own, then installed as any file.
    string(RANDOM LENGTH 12 scratch)
    set(scratch \"${CMAKE_CURRENT_BINARY_DIR}/unit-\${scratch}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/${arg_UNIT_TEMPLATE}\" \"\${scratch}/${name}.service\" @ONLY)
    file(INSTALL DESTINATION \"\${unit_dir}\" TYPE FILE FILES \"\${scratch}/${name}.service\")
    file(REMOVE_RECURSE \"\${scratch}\")
  " COMPONENT ${arg_COMPONENT})

  set(${name}_CONFFILE /etc/default/${name} PARENT_SCOPE)
endfunction()
