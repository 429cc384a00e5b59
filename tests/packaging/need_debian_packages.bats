#!/usr/bin/env bats
# need_debian_packages, which the README's two commands start with: it
# installs only what is missing, says what and why, and goes through sudo
# when not root. dpkg-query, apt-get, sudo and id are stand-ins on PATH
# that record their calls; nothing is installed.

bats_require_minimum_version 1.5.0

setup() {
  SET_UP="$BATS_TEST_DIRNAME/../../packaging/need-debian-packages.bash"
  FAKE="$BATS_TEST_TMPDIR/bin"
  CALLS="$BATS_TEST_TMPDIR/calls"
  mkdir -p "$FAKE"
  : >"$CALLS"
  # INSTALLED: name:architecture[=version] of each installed package.
  export CALLS INSTALLED="cmake:amd64 make:amd64 bats:all" USER_ID=0 UPDATE_STATUS=0
  fake dpkg 'case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) echo i386 ;; esac'
  # dpkg-query -W -f=FORMAT PACKAGE: "architecture version status" for each
  # installed architecture of a name, or of name:architecture.
  fake dpkg-query 'for p; do :; done; found=1
for entry in $INSTALLED; do
  name=${entry%%:*} rest=${entry#*:} version=1.0
  arch=${rest%%=*}; case $rest in *=*) version=${rest#*=} ;; esac
  case "$p" in
    *:*) [ "$name:$arch" = "$p" ] || continue ;;
    *) [ "$name" = "$p" ] || continue ;;
  esac
  echo "$arch $version installed"; found=0
done
exit $found'
  # What apt would install with the packages asked for (apt-get -s on an
  # empty machine), and which of it is "Multi-Arch: same".
  export SIMULATED="g++ mbpoll libmodbus-dev libmodbus5 libc6"
  fake apt-cache 'shift; for p; do case $p in lib*) printf "Package: %s\nMulti-Arch: same\n\n" "${p%:*}" ;; esac; done'
  fake apt-get 'case " $* " in *" -s "*) printf "Inst %s (1.0 Debian [amd64])\n" $SIMULATED; exit 0 ;; esac
echo "apt-get $*" >>"$CALLS"; [ "$1" != update ] || exit "$UPDATE_STATUS"'
  fake sudo 'echo "sudo $1" >>"$CALLS"; "$@"'
  fake id 'echo "$USER_ID"'
  PATH="$FAKE:$PATH"
}

# As the two commands run it: in bash with -euo pipefail.
need_debian_packages() {
  bash -euo pipefail -c '. "$0"; need_debian_packages "$@"' "$SET_UP" "$@"
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

@test "a library installed for i386 alone is missing, and is installed at the i386 version" {
  # The mirror may offer amd64 a newer version than i386 has: a pair must
  # match, the package asked for and each "Multi-Arch: same" dependency
  # whose twin is installed (mbpoll needs libmodbus5 too).
  INSTALLED="$INSTALLED libmodbus-dev:i386=3.1.6-2.1 libmodbus5:i386=3.1.6-2.1 libc6:amd64=2.36 libc6:i386=2.36"
  run need_debian_packages "to build" cmake g++ mbpoll libmodbus-dev libmodbus-dev:i386
  [ "$status" -eq 0 ]
  [ "${lines[0]}" = "Missing Debian packages to build: g++ mbpoll libmodbus-dev" ]
  grep -qx "apt-get install -y -q --no-install-recommends g++ mbpoll libmodbus-dev=3.1.6-2.1 libmodbus5=3.1.6-2.1" "$CALLS"
  # Both architectures installed, at any version: nothing to do.
  INSTALLED="$INSTALLED libmodbus-dev:amd64=3.1.6-2.1+deb12u1"
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
  [[ "$output" == *"Install them with: sudo apt-get install --no-install-recommends g++"* ]]
  [ ! -s "$CALLS" ]
}
