#!/usr/bin/env bats
# The shlibs files the build writes for the library packages
# (packaging/CMakeLists.txt): each names its library by the SONAME the
# built library carries, so that programs linked against it depend on the
# package at least at this version; the other packages (the simulated
# board's preload among them) have none.

@test "each library package's shlibs names its library's SONAME, the package and this version" {
  local package library soname
  for package in libvarnik-dio1:"$LIBVARNIK_DIO" libvarnik-dio-board1:"$LIBVARNIK_DIO_BOARD"; do
    library=${package#*:} package=${package%%:*}
    soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
    [ "$(cat "$PACKAGING_DIR/$package/shlibs")" = \
      "${soname%.so.*} ${soname##*.so.} $package (>= $VARNIK_VERSION-1)" ] ||
      { echo "$package: $(cat "$PACKAGING_DIR/$package/shlibs"), its library's SONAME $soname"; false; }
  done
  run ls "$PACKAGING_DIR"/*/shlibs
  [ "${#lines[@]}" -eq 2 ]
}
