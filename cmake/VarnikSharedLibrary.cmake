# What both shipped libraries share: only the names their version script
# lists are exported, nothing is left undefined, and the SONAME carries the
# library's own ABI number, changed only when that ABI breaks (apart from the
# product's version in the top-level project()).
#
#   varnik_shared_library_abi(TARGET ABI VERSION_SCRIPT)
function(varnik_shared_library_abi target abi version_script)
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${version_script}
    -Wl,--no-undefined)
  set_target_properties(${target} PROPERTIES
    VERSION ${abi}.0.0
    SOVERSION ${abi}
    LINK_DEPENDS ${version_script})
endfunction()
