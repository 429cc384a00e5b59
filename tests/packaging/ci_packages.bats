#!/usr/bin/env bats
# Everything CI installs, the README's packages among them, can be
# installed on a fresh machine with the mirror as it is today: apt-get
# simulates the install against an empty package status. It needs the
# i386 package lists (dpkg --add-architecture i386; apt-get update), as
# CI has them.

setup() {
  local source_dir="$BATS_TEST_DIRNAME/../.."
  . "$source_dir/packaging/need-debian-packages.bash"
  . "$source_dir/.ci/packages.bash"
  dpkg --print-foreign-architectures | grep -qx "$VARNIK_BOARD_ARCHITECTURE" ||
    skip "the $VARNIK_BOARD_ARCHITECTURE architecture is not enabled here, as CI enables it"
}

# apt-get -s install ARGUMENT... on an empty machine, the sources of PIN...
# held at their versions as .ci/run holds them.
simulate_install_with_pins() {
  source_pins "${pins[@]}" >"$BATS_TEST_TMPDIR/preferences"
  : >"$BATS_TEST_TMPDIR/status"
  run apt-get -s -o Dir::State::status="$BATS_TEST_TMPDIR/status" \
    -o Dir::Etc::Preferences="$BATS_TEST_TMPDIR/preferences" \
    install --no-install-recommends --allow-downgrades "$@" "${pins[@]}"
}

@test "CI's whole list installs on an empty machine, every pair at one version" {
  local -a pins
  mapfile -t pins < <(both_architectures_pins "${VARNIK_CI_BOTH_ARCHITECTURES[@]}")
  [ "${#pins[@]}" -ge $((2 * ${#VARNIK_CI_BOTH_ARCHITECTURES[@]})) ]
  simulate_install_with_pins \
    "${VARNIK_CI_PACKAGES[@]}" "${VARNIK_BUILD_PACKAGES[@]}" "${VARNIK_TEST_PACKAGES[@]}"
  [ "$status" -eq 0 ] || { echo "$output" | tail -20; false; }
  # Every pinned pair is among what apt would install, at its version.
  local pin package version
  for pin in "${pins[@]}"; do
    package=${pin%%=*} version=${pin#*=}
    grep -qF "Inst ${package%:amd64} ($version " <<<"$output" ||
      { echo "not installed as pinned: $pin"; false; }
  done
}

@test "a package of this machine alone follows the source of a pinned pair" {
  # zlib1g-dev needs zlib1g at its own version exactly; while the mirror
  # offers amd64 a newer zlib1g than i386, only the source pin lets both go.
  local -a pins
  mapfile -t pins < <(both_architectures_pins zlib1g)
  simulate_install_with_pins zlib1g-dev
  [ "$status" -eq 0 ] || { echo "$output" | tail -20; false; }
}
