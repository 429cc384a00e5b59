#!/usr/bin/env bats
# need_debian_packages, which the README's two commands start with: it
# installs only what is missing, says what and why, and goes through sudo
# when not root. dpkg-query, apt-get, sudo and id are stand-ins on PATH
# that record their calls; nothing is installed.

bats_require_minimum_version 1.5.0

setup() {
  . "$BATS_TEST_DIRNAME/../../packaging/need-debian-packages.bash"
  FAKE="$BATS_TEST_TMPDIR/bin"
  CALLS="$BATS_TEST_TMPDIR/calls"
  mkdir -p "$FAKE"
  : >"$CALLS"
  # INSTALLED: name:architecture of each installed package, as dpkg has them.
  export CALLS INSTALLED="cmake:amd64 make:amd64 bats:all" USER_ID=0 UPDATE_STATUS=0
  fake dpkg 'echo amd64'
  # dpkg-query -W -f=FORMAT PACKAGE: one line per installed architecture
  # of an unqualified name; the status alone for name:architecture.
  fake dpkg-query 'for p; do :; done; found=1
for entry in $INSTALLED; do
  case "$p" in
    *:*) [ "$entry" = "$p" ] && { printf installed; found=0; } ;;
    *) [ "${entry%%:*}" = "$p" ] && { echo "${entry#*:} installed"; found=0; } ;;
  esac
done
exit $found'
  fake apt-get 'echo "apt-get $*" >>"$CALLS"; [ "$1" != update ] || exit "$UPDATE_STATUS"'
  fake sudo 'echo "sudo $1" >>"$CALLS"; "$@"'
  fake id 'echo "$USER_ID"'
  PATH="$FAKE:$PATH"
}

fake() {
  printf '#!/bin/sh\n%s\n' "$2" >"$FAKE/$1"
  chmod +x "$FAKE/$1"
}

@test "nothing is installed, nor said, when every package is there" {
  run need_debian_packages "to build" cmake make bats
  [ "$status" -eq 0 ]
  [ -z "$output" ]
  [ ! -s "$CALLS" ]
}

@test "a library installed for i386 alone is missing for the machine's own build" {
  INSTALLED="$INSTALLED libmodbus-dev:i386"
  run need_debian_packages "to build" cmake libmodbus-dev libmodbus-dev:i386
  [ "$status" -eq 0 ]
  [ "${lines[0]}" = "Missing Debian packages to build: libmodbus-dev" ]
  # Both architectures installed: nothing to do.
  INSTALLED="$INSTALLED libmodbus-dev:amd64"
  : >"$CALLS"
  run need_debian_packages "to build" libmodbus-dev libmodbus-dev:i386
  [ -z "$output" ]
  [ ! -s "$CALLS" ]
}

@test "a failed apt-get update still goes on to the install, saying so" {
  UPDATE_STATUS=100
  run need_debian_packages "to build" g++
  [ "$status" -eq 0 ]
  [[ "$output" == *"apt-get update failed; trying the install"* ]]
  grep -qx "apt-get install -y -q --no-install-recommends g++" "$CALLS"
}

@test "only the missing packages are installed, as root without sudo, after saying why" {
  run need_debian_packages "to build varnik_dio" cmake g++ make googletest
  [ "$status" -eq 0 ]
  [[ "${lines[0]}" == "Missing Debian packages to build varnik_dio: g++ googletest" ]]
  [[ "${lines[1]}" == "Installing them with: apt-get install g++ googletest" ]]
  grep -qx "apt-get update -q" "$CALLS"
  grep -qx "apt-get install -y -q --no-install-recommends g++ googletest" "$CALLS"
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
