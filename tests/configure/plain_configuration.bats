#!/usr/bin/env bats
# `cmake -S . -B build`, the README's worked session, on a machine with the
# build's packages alone: the whole project is configured in a folder of
# the test's own, with each test tool's cache variable pointing at a
# program that does not exist (cmake/VarnikTestTools.cmake).

bats_require_minimum_version 1.5.0

setup() {
  BUILD="$BATS_TEST_TMPDIR/build"
  local nowhere="$BATS_TEST_TMPDIR/nowhere"
  WITHOUT_TEST_TOOLS=(-DVARNIK_GTEST_SOURCE_DIR="$nowhere/googletest" -DVARNIK_BATS="$nowhere/bats"
    -DVARNIK_HELP2MAN="$nowhere/help2man" -DVARNIK_MAN="$nowhere/man"
    -DVARNIK_MBPOLL="$nowhere/mbpoll" -DVARNIK_PYTHON="$nowhere/python3")
}

configure() {
  cmake -S "$PROJECT_SOURCE_DIR" -B "$BUILD" "$@" 2>&1
}

cached() {
  sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"
}

@test "without the tests' tools the tests and two man pages are left out, one line each saying what to install" {
  run configure "${WITHOUT_TEST_TOOLS[@]}"
  [ "$status" -eq 0 ] || { echo "$output"; false; }
  [ "$(cached BUILD_TESTING)" = OFF ]
  [ ! -e "$BUILD/tests" ]
  local packages="googletest bats help2man man-db mbpoll python3-pytest python3-build python3-setuptools python3-wheel"
  grep -qxF -- "-- Tests not built: they need $packages (sudo apt-get install --no-install-recommends $packages, then configure again)" <<<"$output" ||
    { echo "$output"; false; }
  grep -qxF -- "-- help2man was not found: dioctl(1) and dio-sim(1) are not built (sudo apt-get install help2man, then configure again)" <<<"$output"

  # Once the tools are there, the next configuration builds the tests.
  run configure -UVARNIK_GTEST_SOURCE_DIR -UVARNIK_BATS -UVARNIK_HELP2MAN -UVARNIK_MAN \
    -UVARNIK_MBPOLL -UVARNIK_PYTHON
  [ "$status" -eq 0 ] || { echo "$output"; false; }
  [ "$(cached BUILD_TESTING)" = ON ]
  [[ "$output" != *"not built"* ]]
}

@test "BUILD_TESTING=ON with a tool missing stops, naming its Debian package" {
  run configure -DBUILD_TESTING=ON -DVARNIK_BATS="$BATS_TEST_TMPDIR/nowhere/bats"
  [ "$status" -ne 0 ]
  [[ "$output" == *"BUILD_TESTING is ON, but the tests need Debian packages that are missing:"* ]]
  [[ "$output" == *"bats: no bats program (VARNIK_BATS)"* ]]
  [[ "$output" == *"(sudo apt-get install --no-install-recommends bats)"* ]] || { echo "$output"; false; }
}
