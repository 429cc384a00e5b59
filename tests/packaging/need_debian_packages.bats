#!/usr/bin/env bats
# need_debian_packages, which the README's two commands start with: it
# installs only what is missing, says what and why, and goes through sudo
# when not root; and need_package_build_tools, with which
# packaging/build-packages starts. dpkg-query, apt-get, sudo, id and cmake
# are stand-ins on PATH that record their calls; nothing is installed or
# built.

bats_require_minimum_version 1.5.0

setup() {
  SET_UP="$BATS_TEST_DIRNAME/../../packaging/need-debian-packages.bash"
  FAKE="$BATS_TEST_TMPDIR/bin"
  CALLS="$BATS_TEST_TMPDIR/calls"
  mkdir -p "$FAKE"
  : >"$CALLS"
  # INSTALLED: name:architecture[=version] of each installed package.
  export CALLS INSTALLED="cmake:amd64 make:amd64 bats:all" USER_ID=0 UPDATE_STATUS=0 BATS_TEST_TMPDIR
  export FOREIGN=i386 KERNEL_RUNS_I386=yes
  fake dpkg 'case $1 in --print-architecture) echo amd64 ;; --print-foreign-architectures) printf "%s" "$FOREIGN" ;; esac'
  # dpkg-query -W -f=FORMAT PACKAGE: "architecture version status" for each
  # installed architecture of a name, or of name:architecture; with no
  # package, every one as "architecture multi-arch status name:arch=version"
  # ("Multi-Arch: same" for the libraries).
  fake dpkg-query 'for p; do :; done; found=1
for entry in $INSTALLED; do
  name=${entry%%:*} rest=${entry#*:} version=1.0
  arch=${rest%%=*}; case $rest in *=*) version=${rest#*=} ;; esac
  case "$p" in
    -f=*) multiarch=foreign; case $name in lib*) multiarch=same ;; esac
          echo "$arch $multiarch installed $name:$arch=$version"; continue ;;
    *:*) [ "$name:$arch" = "$p" ] || continue ;;
    *) [ "$name" = "$p" ] || continue ;;
  esac
  echo "$arch $version installed"; found=0
done
exit $found'
  # apt-cache show NAME:ARCH=VERSION...: libmodbus5 and libmodbus-dev are
  # built from libmodbus.
  fake apt-cache 'shift; for p; do name=${p%%:*}
printf "Package: %s\nSource: %s\nVersion: %s\n\n" "$name" "${name%%[0-9-]*}" "${p#*=}"; done'
  # apt-get -o Dir::Etc::Preferences=FILE install ...: the preferences are
  # kept for the test to read, the rest recorded.
  fake apt-get 'if [ "$1" = -o ]; then cp "${2#*=}" "$BATS_TEST_TMPDIR/preferences"; shift 2; fi
echo "apt-get $*" >>"$CALLS"; [ "$1" != update ] || exit "$UPDATE_STATUS"'
  fake sudo 'echo "sudo $1" >>"$CALLS"; "$@"'
  fake id 'echo "$USER_ID"'
  fake cmake 'echo "cmake $*" >>"$CALLS"; exit 1'
  PATH="$FAKE:$PATH"
}

# As the two commands run it: in bash with -euo pipefail.
need_debian_packages() {
  bash -euo pipefail -c '. "$0"; need_debian_packages "$@"' "$SET_UP" "$@"
}

# The kernel runs 32-bit programs when KERNEL_RUNS_I386 is yes.
need_package_build_tools() {
  bash -euo pipefail -c '. "$0"; kernel_runs_i386_programs() { [ "$KERNEL_RUNS_I386" = yes ]; }
    need_package_build_tools "$@"' "$SET_UP" "$@"
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

@test "a library installed for i386 alone is missing, and comes at the i386 version, its source held there" {
  # The mirror may offer amd64 a newer version than i386 has: the package
  # asked for comes at its twin's version, and whatever else the install
  # brings of an installed pair's source (libmodbus5 for mbpoll) too.
  INSTALLED="$INSTALLED libmodbus-dev:i386=3.1.6-2.1 libmodbus5:i386=3.1.6-2.1 libc6:amd64=2.36 libc6:i386=2.36"
  run need_debian_packages "to build" cmake g++ mbpoll libmodbus-dev libmodbus-dev:i386
  [ "$status" -eq 0 ]
  [ "${lines[0]}" = "Missing Debian packages to build: g++ mbpoll libmodbus-dev" ]
  grep -qx "apt-get install -y -q --no-install-recommends g++ mbpoll libmodbus-dev=3.1.6-2.1" "$CALLS"
  [ "$(grep -A2 '^Package: src:libmodbus:any$' "$BATS_TEST_TMPDIR/preferences")" = \
    "$(printf '%s\n' "Package: src:libmodbus:any" "Pin: version 3.1.6-2.1" "Pin-Priority: 990")" ]
  grep -q "^Package: src:libc:any" "$BATS_TEST_TMPDIR/preferences"
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

@test "build-packages checks what it needs before it builds: the i386 architecture, the packages" {
  local build_packages="$BATS_TEST_DIRNAME/../../packaging/build-packages"
  FOREIGN="" run "$build_packages" --arch i386 --output "$BATS_TEST_TMPDIR/out"
  [ "$status" -eq 1 ]
  [[ "$output" == *"the i386 architecture is not enabled here. Enable it with:"$'\n'"  sudo dpkg --add-architecture i386 && sudo apt-get update"$'\n'"or build the amd64 packages alone (--arch amd64)."* ]]
  [ ! -s "$CALLS" ]

  VARNIK_NO_INSTALL=1 run "$build_packages" --arch amd64 --output "$BATS_TEST_TMPDIR/out"
  [ "$status" -eq 1 ]
  [[ "$output" == *"Install them with: sudo apt-get install --no-install-recommends g++ pkg-config "*" dpkg-dev file help2man lintian"* ]]
  [ ! -s "$CALLS" ]
}

@test "the packages' tools, and for i386 the compiler, the libraries at their amd64 twins' versions, and qemu-user where the kernel needs it" {
  INSTALLED="$INSTALLED g++:amd64 pkg-config:amd64 libcli11-dev:all nlohmann-json3-dev:all libmodbus-dev:amd64=3.1.6-2.1
    libmosquitto-dev:amd64=2.0.11-1.2 libcivetweb-dev:amd64=1.15+dfsg-4 libc6:amd64=2.36-9 libstdc++6:amd64=12.2.0-14 libgcc-s1:amd64=12.2.0-14"
  run need_package_build_tools yes amd64 i386
  [ "$status" -eq 0 ]
  grep -qx "apt-get install -y -q --no-install-recommends dpkg-dev file help2man lintian g++-multilib libc6:i386=2.36-9 libstdc++6:i386=12.2.0-14 libgcc-s1:i386=12.2.0-14 libmodbus-dev:i386=3.1.6-2.1 libmosquitto-dev:i386=2.0.11-1.2 libcivetweb-dev:i386=1.15+dfsg-4" "$CALLS"
  [ "$(grep -A1 '^Package: src:libc:any' "$BATS_TEST_TMPDIR/preferences")" = \
    "$(printf '%s\n' "Package: src:libc:any" "Pin: version 2.36-9")" ]
  [ "$(grep -c "apt-get install" "$CALLS")" -eq 1 ]

  KERNEL_RUNS_I386=no
  : >"$CALLS"
  run need_package_build_tools yes amd64 i386
  [ "$status" -eq 0 ]
  [[ "$output" == *"Missing Debian packages to run the 32-bit dioctl and dio-sim for their man pages (this kernel does not run 32-bit programs): qemu-user"* ]]
  grep -qx "apt-get install -y -q --no-install-recommends qemu-user" "$CALLS"

  # amd64 alone, without lintian: nothing of i386, and no lintian.
  : >"$CALLS"
  run need_package_build_tools no amd64
  [ "$status" -eq 0 ]
  grep -qx "apt-get install -y -q --no-install-recommends dpkg-dev file help2man" "$CALLS"
  [ "$(grep -c "apt-get install" "$CALLS")" -eq 1 ]
}
