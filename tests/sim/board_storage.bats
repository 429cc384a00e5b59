#!/usr/bin/env bats
# A board file on a file system with no room left, for real: a small tmpfs
# of the test's own, mounted in a mount namespace of its own (through a
# user namespace when the test is not root) and filled up. A board whose
# register pages are holes there would end a program with SIGBUS at its
# first access; it is refused at the open instead, by the simulated board
# and by the board library alike, and a board made while there was room
# keeps working. ctest passes DIOCTL and DIO_SIM besides what
# tool_helpers.bash needs.

bats_require_minimum_version 1.5.0
load ../common/tool_helpers

setup() {
  setup_boards
  FULL_FS="$BATS_TEST_TMPDIR/full"
  mkdir "$FULL_FS"
  export FULL_FS
}

# Runs "$@" in a mount namespace of its own, with a 1 MiB tmpfs at $FULL_FS.
in_small_file_system() {
  unshare --user --map-root-user --mount bash -c \
    'mount -t tmpfs -o size=1m tmpfs "$FULL_FS" && "$@"' in_small_file_system "$@"
}

# In that namespace: a board made while there is room and one made by
# hand with holes, then the file system filled, then each program's output
# and status.
open_boards_on_a_full_file_system() {
  run_prog "$DIO_SIM" --board "$FULL_FS/made.img" new
  truncate -s 4294967296 "$FULL_FS/holes.img"
  dd if=/dev/zero of="$FULL_FS/filler" bs=4096 status=none 2>/dev/null
  run_prog "$DIOCTL" --device "$FULL_FS/holes.img" get DO0 2>&1
  echo "status=$?"
  THROWAWAY_BOARD="$FULL_FS/holes.img" run_prog "$DIOCTL" get DO0 2>&1
  echo "status=$?"
  run_prog "$DIOCTL" --device "$FULL_FS/made.img" set DO0=1 2>&1
  echo "status=$?"
  run_prog "$DIOCTL" --device "$FULL_FS/made.img" get DO0 2>&1
  echo "status=$?"
}

@test "on a full file system, a board whose register pages are holes is refused at the open, not ended by SIGBUS" {
  in_small_file_system true 2>/dev/null ||
    skip "cannot mount a small file system here: needs user namespaces (unshare --user --mount) or root"
  export -f prog_command run_prog open_boards_on_a_full_file_system
  run in_small_file_system open_boards_on_a_full_file_system
  output_is "dioctl: $FULL_FS/holes.img: No space left on device (the board file's register pages are holes that its file system has no room for: free some space there, or make a board elsewhere (dio-sim --board FILE new))
status=1
varnik_dio_sim: board file \"$FULL_FS/holes.img\": its register pages are holes that its file system cannot fill: No space left on device; free some space there, or make a board elsewhere (dio-sim --board FILE new)
dioctl: /dev/mem: No space left on device
status=1
status=0
DO0=1
status=0"
}
