#!/usr/bin/env bats
# Everything CI installs, the README's packages among them, can be
# installed on a fresh machine with the mirror as it is today: apt-get
# simulates the install against an empty package status. It needs the
# i386 package lists (dpkg --add-architecture i386; apt-get update), as
# CI has them.

bats_require_minimum_version 1.5.0

setup() {
  local source_dir="$BATS_TEST_DIRNAME/../.."
  . "$source_dir/packaging/need-debian-packages.bash"
  . "$source_dir/.ci/packages.bash"
  dpkg --print-foreign-architectures | grep -qx "$VARNIK_BOARD_ARCHITECTURE" ||
    skip "the $VARNIK_BOARD_ARCHITECTURE architecture is not enabled here, as CI enables it"
}

# The pins of PACKAGE... into the array pins, failing with the picker.
pin_both_architectures() {
  run --separate-stderr both_architectures_pins "$@"
  [ "$status" -eq 0 ] || { echo "$stderr"; false; }
  mapfile -t pins <<<"$output"
}

# apt-get -s install ARGUMENT... on an empty machine, with the sources of
# the pins held as .ci/run holds them, and none of this machine's own
# preferences.
simulate_install_with_pins() {
  source_pins 1001 "${pins[@]}" >"$BATS_TEST_TMPDIR/preferences"
  mkdir -p "$BATS_TEST_TMPDIR/no-preferences"
  : >"$BATS_TEST_TMPDIR/status"
  run apt-get -s -o Dir::State::status="$BATS_TEST_TMPDIR/status" \
    -o Dir::Etc::Preferences="$BATS_TEST_TMPDIR/preferences" \
    -o Dir::Etc::PreferencesParts="$BATS_TEST_TMPDIR/no-preferences" \
    install --no-install-recommends --allow-downgrades "$@" "${pins[@]}"
}

@test "CI's whole list installs on an empty machine, every pair at one version" {
  local -a pins
  pin_both_architectures "${VARNIK_CI_BOTH_ARCHITECTURES[@]}"
  simulate_install_with_pins \
    "${VARNIK_CI_PACKAGES[@]}" "${VARNIK_BUILD_PACKAGES[@]}" "${VARNIK_TEST_PACKAGES[@]}"
  [ "$status" -eq 0 ] || { echo "$output" | tail -20; false; }
  # Each package asked for, on both architectures, at the version pinned.
  local package arch
  for package in "${VARNIK_CI_BOTH_ARCHITECTURES[@]}"; do
    for arch in amd64 i386; do
      printf '%s\n' "${pins[@]}" | grep -q "^$package:$arch=" || { echo "not pinned: $package:$arch"; false; }
    done
  done
  local pin
  for pin in "${pins[@]}"; do
    package=${pin%%=*}
    grep -qF "Inst ${package%:amd64} (${pin#*=} " <<<"$output" ||
      { echo "not installed as pinned: $pin"; false; }
  done
}

@test "a package of this machine alone follows the source of a pinned pair" {
  # zlib1g-dev needs zlib1g at its own version exactly; while the mirror
  # offers amd64 a newer zlib1g than i386, only the source pin lets both go.
  local -a pins
  pin_both_architectures zlib1g
  simulate_install_with_pins zlib1g-dev
  [ "$status" -eq 0 ] || { echo "$output" | tail -20; false; }
}
