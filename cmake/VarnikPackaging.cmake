# Debian packages, one per install component (CPack's DEB generator).
#
# Each folder declares the packages of what it installs, next to its
# install() rules:
#
#   varnik_debian_package(<component>        the component is the package name
#     SECTION <Debian section>
#     SUMMARY "<one line>"
#     DESCRIPTION "<extended description>"    wrapped here; blank line = paragraph
#     [ARCHITECTURE all]                      arch-independent packages
#     [DEPENDS_ON <our components...>]        become "name (= version)"
#     [DEPENDS "<other Debian dependencies>"]
#     [CONFFILES <absolute paths>]
#     [MAINTAINER_SCRIPTS <files>]            postinst, prerm, ... (executable)
#     [MULTI_ARCH same]                       co-installable with its other
#                                             architectures' builds
#     [SHARED_LIBRARY <target>])              ships that library in the loader's
#                                             path, for programs to link
#
# The declarations are only recorded; packaging/CMakeLists.txt, the last
# folder of the build, turns them into CPack settings. Every package also
# gets the copyright file and the changelog there.

function(varnik_debian_package component)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SECTION;SUMMARY;DESCRIPTION;ARCHITECTURE;DEPENDS;MULTI_ARCH;SHARED_LIBRARY"
                        "DEPENDS_ON;CONFFILES;MAINTAINER_SCRIPTS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "varnik_debian_package(${component}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required SECTION SUMMARY DESCRIPTION)
    if(NOT arg_${required})
      message(FATAL_ERROR "varnik_debian_package(${component}): ${required} is missing")
    endif()
  endforeach()
  if(NOT component MATCHES "^[a-z0-9][a-z0-9+.-]+$")
    message(FATAL_ERROR "varnik_debian_package: '${component}' is not a Debian package name")
  endif()
  get_property(known GLOBAL PROPERTY VARNIK_DEBIAN_PACKAGES)
  if(component IN_LIST known)
    message(FATAL_ERROR "varnik_debian_package: ${component} is declared twice")
  endif()
  set_property(GLOBAL APPEND PROPERTY VARNIK_DEBIAN_PACKAGES ${component})
  foreach(field SECTION SUMMARY DESCRIPTION ARCHITECTURE DEPENDS DEPENDS_ON CONFFILES
                MAINTAINER_SCRIPTS SHARED_LIBRARY MULTI_ARCH)
    set_property(GLOBAL PROPERTY VARNIK_DEBIAN_PACKAGE_${component}_${field} "${arg_${field}}")
  endforeach()
endfunction()

# <out> = <text> wrapped at 72 columns, for the extended description. A
# blank line in <text> separates paragraphs; CPack indents each line and
# turns the empty line between paragraphs into Debian's " .". (A semicolon
# would split the text as a CMake list: it becomes a comma.)
function(varnik_wrap_text out text)
  string(REGEX REPLACE "\n[ \t]*\n" "@PARAGRAPH@" text "${text}")
  string(REGEX REPLACE "[ \t\n]+" " " text "${text}")
  string(REPLACE ";" "," text "${text}")
  string(REPLACE "@PARAGRAPH@" ";" paragraphs "${text}")
  set(wrapped_paragraphs "")
  foreach(paragraph IN LISTS paragraphs)
    string(STRIP "${paragraph}" paragraph)
    string(REPLACE " " ";" words "${paragraph}")
    set(lines "")
    set(line "")
    foreach(word IN LISTS words)
      string(LENGTH "${line} ${word}" length)
      if(line STREQUAL "")
        set(line "${word}")
      elseif(length GREATER 72)
        string(APPEND lines "${line}\n")
        set(line "${word}")
      else()
        string(APPEND line " ${word}")
      endif()
    endforeach()
    list(APPEND wrapped_paragraphs "${lines}${line}")
  endforeach()
  list(JOIN wrapped_paragraphs "\n\n" wrapped)
  set(${out} "${wrapped}" PARENT_SCOPE)
endfunction()
