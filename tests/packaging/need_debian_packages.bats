#!/usr/bin/env bats
# need_debian_packages, which the README's two commands start with: it
# installs only what is missing, says what and why, and goes through sudo
# when not root. dpkg-query, apt-get, sudo and id are stand-ins on PATH
# that record their calls; nothing is installed.

setup() {
  . "$BATS_TEST_DIRNAME/../../packaging/need-debian-packages.bash"
  FAKE="$BATS_TEST_TMPDIR/bin"
  CALLS="$BATS_TEST_TMPDIR/calls"
  mkdir -p "$FAKE"
  : >"$CALLS"
  export CALLS INSTALLED="cmake make" USER_ID=0
  fake dpkg-query 'for p; do :; done; case " $INSTALLED " in *" $p "*) printf installed ;; *) exit 1 ;; esac'
  fake apt-get 'echo "apt-get $*" >>"$CALLS"'
  fake sudo 'echo "sudo $1" >>"$CALLS"; "$@"'
  fake id 'echo "$USER_ID"'
  PATH="$FAKE:$PATH"
}

fake() {
  printf '#!/bin/sh\n%s\n' "$2" >"$FAKE/$1"
  chmod +x "$FAKE/$1"
}

@test "nothing is installed, nor said, when every package is there" {
  run need_debian_packages "to build" cmake make
  [ "$status" -eq 0 ]
  [ -z "$output" ]
  [ ! -s "$CALLS" ]
}

@test "only the missing packages are installed, as root without sudo, after saying why" {
  run need_debian_packages "to build varnik_dio" cmake g++ make bats
  [ "$status" -eq 0 ]
  [[ "${lines[0]}" == "Missing Debian packages to build varnik_dio: g++ bats" ]]
  [[ "${lines[1]}" == "Installing them with: apt-get install g++ bats" ]]
  grep -qx "apt-get update -q" "$CALLS"
  grep -qx "apt-get install -y -q --no-install-recommends g++ bats" "$CALLS"
  run ! grep -q sudo "$CALLS"
}

@test "a user other than root installs through sudo" {
  USER_ID=1000
  run need_debian_packages "to build" g++
  [ "$status" -eq 0 ]
  [[ "${lines[1]}" == "Installing them with: sudo apt-get install g++" ]]
  [ "$(grep -c '^sudo env' "$CALLS")" -eq 2 ]
  grep -qx "apt-get install -y -q --no-install-recommends g++" "$CALLS"
}

@test "VARNIK_NO_INSTALL=1 stops with the command to run instead" {
  VARNIK_NO_INSTALL=1 run need_debian_packages "to build" g++ cmake
  [ "$status" -eq 1 ]
  [[ "$output" == *"Install them with: sudo apt-get install g++"* ]]
  [ ! -s "$CALLS" ]
}
