#!/usr/bin/env bats
# `cmake --install` into a prefix of the test's own, then programs built
# against that prefix as users build them (pkg-config for C, find_package
# for C++), run on the simulated board with no LD_LIBRARY_PATH. The prefix
# is moved after the install, so everything must find itself from where
# it is.
#
# ctest passes, besides tool_helpers.bash's variables: VARNIK_BUILD_DIR,
# PROJECT_SOURCE_DIR, VARNIK_VERSION, VARNIK_LIBDIR (lib or
# lib/<multiarch>, as the build installs), VARNIK_MULTIARCH, VARNIK_CC and
# VARNIK_CFLAGS (the build's C compiler), VARNIK_TOOLCHAIN (its toolchain
# file, if any).

load ../common/tool_helpers

setup_file() {
  local staged="$BATS_FILE_TMPDIR/staged"
  cmake --install "$VARNIK_BUILD_DIR" --prefix "$staged" >/dev/null
  cp "$VARNIK_BUILD_DIR/install_manifest.txt" "$BATS_FILE_TMPDIR/manifest"
  mv "$staged" "$BATS_FILE_TMPDIR/prefix"
}

teardown() {
  [ -z "${WORK_OF_ROOT_AND_NOBODY:-}" ] || rm -rf "$WORK_OF_ROOT_AND_NOBODY"
}

setup() {
  setup_boards
  PREFIX="$BATS_FILE_TMPDIR/prefix"
  LIBDIR="$PREFIX/$VARNIK_LIBDIR"
  unset LD_LIBRARY_PATH
}

# Runs an installed program on $BOARD through the installed dio-sim, with
# the build's own preload (on a throwaway board) under it as in every test.
run_on_board() {
  run run_prog "$PREFIX/bin/dio-sim" --board "$BOARD" run -- "$@"
}

@test "the prefix holds each file in its GNU place, and nothing internal" {
  local file
  for file in \
      "$VARNIK_LIBDIR/libvarnik_dio.so.1" "$VARNIK_LIBDIR/libvarnik_dio.so" \
      "$VARNIK_LIBDIR/libvarnik_dio_board.so.1" "$VARNIK_LIBDIR/libvarnik_dio_board.so" \
      "$VARNIK_LIBDIR/pkgconfig/varnik_dio.pc" "$VARNIK_LIBDIR/pkgconfig/varnik_dio_board.pc" \
      "$VARNIK_LIBDIR/cmake/varnik_dio/varnik_dioConfig.cmake" \
      "$VARNIK_LIBDIR/cmake/varnik_dio/varnik_dioConfigVersion.cmake" \
      "lib/$VARNIK_MULTIARCH/varnik_dio/libvarnik_dio_sim.so" \
      bin/dioctl bin/dio-sim libexec/varnik_dio/Sample \
      share/man/man1/dioctl.1.gz share/man/man1/dio-sim.1.gz share/man/man1/Sample.1.gz \
      share/man/man3/varnik_dio.3.gz share/man/man3/varnik_dio_board.3.gz \
      share/doc/varnik_dio/LICENSE \
      lib/systemd/system/dio-modbusd.service etc/default/dio-modbusd sbin/dio-modbusd; do
    [ -e "$PREFIX/$file" ] || { echo "missing: $file"; false; }
  done
  [ "$(readlink "$LIBDIR/libvarnik_dio.so.1")" = libvarnik_dio.so.1.0.0 ]
  [ "$(readlink "$LIBDIR/libvarnik_dio_board.so")" = libvarnik_dio_board.so.1 ]
  # The public headers and the simulated board's, none of the internal ones.
  run ls "$PREFIX/include"
  output_is "$(printf '%s\n' varnik_dio.h varnik_dio_board.h varnik_dio_board_version.h varnik_dio_sim.h)"
  [ ! -e "$PREFIX/bin/Sample" ]
  # The packages' copyright files and changelogs are theirs alone.
  [ "$(ls "$PREFIX/share/doc")" = varnik_dio ]
  # Nothing outside the prefix given to the install, the units and options
  # files included.
  run grep -v "^$BATS_FILE_TMPDIR/staged/" "$BATS_FILE_TMPDIR/manifest"
  [ "$status" -eq 1 ] || { echo "installed outside the prefix: $output"; false; }
}

# "FILE: RUNPATH" for every ELF executable and shared library below
# FOLDER... whose RUNPATH (or RPATH) has an empty element or one that is
# neither absolute nor $ORIGIN-relative: the loader would look for
# libraries in the working directory. The number of files read goes to fd 3.
unsafe_runpaths() {
  local file runpath element read=0
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file")" = $'\x7fELF' ] || continue
    read=$((read + 1))
    while IFS= read -r runpath; do
      while IFS= read -r -d : element; do
        [[ "$element" == /* || "$element" == '$ORIGIN'* || "$element" == '${ORIGIN}'* ]] ||
          { echo "$file: [$runpath]"; break; }
      done <<<"$runpath:"
    done < <(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p')
  done < <(find "$@" -type f \( -perm -u=x -o -name '*.so*' \) -not -path '*/CMakeFiles/*' -print0)
  echo "$read" >&3
}

@test "no program or library of the build or of the prefix searches a relative folder" {
  run unsafe_runpaths "$VARNIK_BUILD_DIR" "$PREFIX" 3>"$BATS_TEST_TMPDIR/read"
  [ -z "$output" ] || { echo "empty or relative RUNPATH elements:"; echo "$output"; false; }
  # Both trees were read: the libraries, the tools, the tests' programs.
  [ "$(cat "$BATS_TEST_TMPDIR/read")" -gt 20 ]
  readelf -d "$PREFIX/bin/dioctl" | grep -qF "Library runpath: [\$ORIGIN/../$VARNIK_LIBDIR]"
}

@test "the installed unit runs the program and reads the options file of its own prefix" {
  local unit="$PREFIX/lib/systemd/system/dio-modbusd.service" staged="$BATS_FILE_TMPDIR/staged"
  grep -qxF "ExecStart=$staged/sbin/dio-modbusd \$DIO_MODBUSD_OPTIONS" "$unit"
  grep -qxF "EnvironmentFile=$staged/etc/default/dio-modbusd" "$unit"
  grep -qx 'WantedBy=multi-user.target' "$unit"
}

@test "the pkg-config files and the CMake package name no folder of the build machine" {
  run grep -rlF -e "$PROJECT_SOURCE_DIR" -e "$VARNIK_BUILD_DIR" -e "$BATS_FILE_TMPDIR" \
    "$LIBDIR/pkgconfig" "$LIBDIR/cmake"
  [ "$status" -eq 1 ] || { echo "absolute paths in: $output"; false; }
  PKG_CONFIG_PATH="$LIBDIR/pkgconfig" run pkg-config --modversion varnik_dio varnik_dio_board
  output_is "$(printf '%s\n' "$VARNIK_VERSION" "$VARNIK_VERSION")"
}

@test "a C program built through pkg-config runs on the simulated board" {
  local flags program="$BATS_TEST_TMPDIR/consumer"
  flags=$(PKG_CONFIG_PATH="$LIBDIR/pkgconfig" pkg-config --cflags --libs varnik_dio_board varnik_dio)
  # A prefix outside the loader's folders: the program carries its libdir,
  # as the README shows.
  # shellcheck disable=SC2086
  $VARNIK_CC $VARNIK_CFLAGS -std=c99 -pedantic -Wall -Wextra -Werror \
    -o "$program" "$BATS_TEST_DIRNAME/consumer/consumer.c" $flags -Wl,-rpath,"$LIBDIR" -ldl
  run_on_board "$program"
  status_is 0
  output_is "C: board API $VARNIK_VERSION, outputs 0x08, LEDs 2"
}

@test "a C++ program built through find_package with both imported targets runs on the board" {
  local build="$BATS_TEST_TMPDIR/build" toolchain=()
  [ -n "${VARNIK_TOOLCHAIN:-}" ] && toolchain=(--toolchain "$VARNIK_TOOLCHAIN")
  cmake -S "$BATS_TEST_DIRNAME/consumer" -B "$build" "${toolchain[@]}" \
    -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
  cmake --build "$build" >/dev/null
  run_on_board "$build/consumer"
  status_is 0
  output_is "C++: board API $VARNIK_VERSION (header $VARNIK_VERSION), outputs 0x08, LEDs 2"

  # The version file: the next major version is not this one.
  run cmake -S "$BATS_TEST_DIRNAME/consumer" -B "$BATS_TEST_TMPDIR/build2" "${toolchain[@]}" \
    -DCMAKE_PREFIX_PATH="$PREFIX" -DVARNIK_DIO_VERSION=$(( ${VARNIK_VERSION%%.*} + 1 ))
  [ "$status" -ne 0 ]
  [[ "$output" == *"compatible with requested version"*"version: $VARNIK_VERSION"* ]]
}

@test "the installed dioctl, dio-sim and Sample run from the prefix" {
  run run_prog "$PREFIX/bin/dioctl" --version
  status_is 0
  output_is "dioctl $VARNIK_VERSION"
  run_on_board "$PREFIX/bin/dioctl" set DO5=1
  status_is 0
  run run_prog "$PREFIX/bin/dioctl" --device "$BOARD" get DO
  output_is "DO=0x20"
  run run_prog_bounded 3 "$PREFIX/bin/dio-sim" --board "$BOARD" run -- "$PREFIX/libexec/varnik_dio/Sample"
  [[ "${lines[0]}" == "LED Read: "* ]] || { echo "$output"; false; }
}

@test "the README's undo of an install removes every file it installed, whatever the prefix's name" {
  local prefix="$BATS_TEST_TMPDIR/a prefix" manifest="$VARNIK_BUILD_DIR/install_manifest_prefix-documentation.txt"
  cmake --install "$VARNIK_BUILD_DIR" --component prefix-documentation --prefix "$prefix" >/dev/null
  [ -n "$(find "$prefix" -type f)" ]
  local undo
  undo=$(grep -m1 -E '^ +(sudo )?xargs .*build-install/install_manifest.txt' "$PROJECT_SOURCE_DIR/README.md")
  eval "${undo//build-install\/install_manifest.txt/\"\$manifest\"}"
  rm -f "$manifest"
  run find "$prefix" -not -type d
  output_is ""
  # Under /usr/local the loader's cache must learn of the libraries.
  grep -qE '^ +sudo cmake --install build-install && sudo ldconfig ' "$PROJECT_SOURCE_DIR/README.md"
}

@test "after a root install from a user's build tree, that user installs from it too" {
  [ "$(id -u)" -eq 0 ] || skip "needs root, to install as root from a build tree of another user's"
  # A folder the user nobody can reach (bats' own is root's alone), with a
  # project that installs one file and includes the manifest's module.
  WORK_OF_ROOT_AND_NOBODY=$(mktemp -d "${TMPDIR:-/tmp}/varnik-manifest.XXXXXX")
  local work=$WORK_OF_ROOT_AND_NOBODY
  chmod 0755 "$work"
  mkdir "$work/project"
  cp "$PROJECT_SOURCE_DIR/cmake/VarnikInstallManifest.cmake" "$work/project/"
  printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(manifest NONE)' \
    'include(VarnikInstallManifest.cmake)' 'install(FILES CMakeLists.txt DESTINATION share)' \
    >"$work/project/CMakeLists.txt"
  cmake -S "$work/project" -B "$work/build" >/dev/null
  chown -R nobody: "$work"

  cmake --install "$work/build" --prefix "$work/as-root" >/dev/null
  [ "$(stat -c %U "$work/build/install_manifest.txt")" = nobody ]
  run setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
    cmake --install "$work/build" --prefix "$work/as-nobody"
  status_is 0
  [ "$(cat "$work/build/install_manifest.txt")" = "$work/as-nobody/share/CMakeLists.txt" ]
}
