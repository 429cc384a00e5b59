# `cmake --install` writes the list of what it installed into the build
# tree last of all: install_manifest.txt. Run as root (sudo, for
# /usr/local) on a build tree of a user's own, it would leave that file
# root's, and the user's next `cmake --install` from the same tree (into a
# prefix of their own) would fail on it once everything else was done. So
# a root install makes the file the build tree owner's before it starts;
# the install then writes into it and the file stays theirs.
#
# Include it from the top-level CMakeLists.txt: the manifest is the
# top-level build directory's.
set(VARNIK_MANIFEST_FOLDER "${CMAKE_BINARY_DIR}")
string(CONFIGURE [[
  if(CMAKE_INSTALL_COMPONENT)
    set(manifest "@VARNIK_MANIFEST_FOLDER@/install_manifest_${CMAKE_INSTALL_COMPONENT}.txt")
  else()
    set(manifest "@VARNIK_MANIFEST_FOLDER@/install_manifest.txt")
  endif()
  execute_process(COMMAND id -u OUTPUT_VARIABLE installer OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND stat -c %u "@VARNIK_MANIFEST_FOLDER@"
    OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(installer STREQUAL "0" AND NOT owner STREQUAL "0")
    file(TOUCH "${manifest}")
    execute_process(COMMAND chown --no-dereference "--reference=@VARNIK_MANIFEST_FOLDER@" "${manifest}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
]] varnik_manifest_owner_code @ONLY)
# ALL_COMPONENTS: also for an install of one component (--component X).
if(CMAKE_VERSION VERSION_GREATER_EQUAL 3.21)
  install(CODE "${varnik_manifest_owner_code}" ALL_COMPONENTS)
else()
  install(CODE "${varnik_manifest_owner_code}")
endif()
