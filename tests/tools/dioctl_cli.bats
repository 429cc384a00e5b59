# dioctl as a whole: version, help, where --device goes, device errors and
# usage errors, and the safety net under every test.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() { setup_boards; }

@test "--version prints the product version" {
  run dioctl --version
  status_is 0
  output_is "dioctl $VARNIK_VERSION"
}

@test "--help describes the tool and each verb" {
  run dioctl --help
  status_is 0
  [[ "$output" == *"--device PATH"* && "$output" == *"watch"* ]]
  for verb in info get set toggle pulse show watch wait counters; do
    run dioctl "$verb" --help
    status_is 0
    [[ "${lines[1]}" == "Usage: dioctl $verb "* ]] || { echo "$verb: $output" >&2; false; }
  done
}

@test "--device works before and after the verb" {
  run run_prog "$DIOCTL" set --device "$BOARD" DO3=1
  status_is 0
  run run_prog "$DIOCTL" --device "$BOARD" get DO3
  output_is "DO3=1"
  [ "$(peek "${DO_REGISTERS[3]}")" = 00 ]
}

@test "a forgotten --device reaches the throwaway board, not the test's" {
  before=$(board_digest)
  run run_prog "$DIOCTL" set DO1=1
  status_is 0
  [ "$(peek "${DO_REGISTERS[1]}" "$THROWAWAY_BOARD")" = 00 ]
  [ "$(board_digest)" = "$before" ]
}

@test "device errors: status 1, the device, the error and a hint" {
  run dioctl --device "$BATS_TEST_TMPDIR/missing.img" get
  status_is 1
  output_is "dioctl: $BATS_TEST_TMPDIR/missing.img: No such file or directory (dio-sim --board $BATS_TEST_TMPDIR/missing.img new makes a board file there)"

  truncate -s 1M "$BATS_TEST_TMPDIR/small.img"
  run dioctl --device "$BATS_TEST_TMPDIR/small.img" set DO0=1
  status_is 1
  [[ "$output" == *"small.img: Invalid argument (neither the memory device nor a board file"* ]]

  run dioctl --device "$BATS_TEST_TMPDIR" watch --timeout 1s
  status_is 1
  [[ "$output" == *"$BATS_TEST_TMPDIR: Invalid argument"* ]]
}

@test "device errors of the memory device itself carry their hint" {
  # Only the simulated board's /dev/mem (the throwaway board) can be made
  # to refuse; the real one is never reached under the preload.
  VARNIK_SIM_FAIL=open:13 run run_prog "$DIOCTL" get
  status_is 1
  output_is "dioctl: /dev/mem: Permission denied (the memory device needs root or CAP_SYS_RAWIO)"
  VARNIK_SIM_FAIL=mmap:1 run run_prog "$DIOCTL" get
  status_is 1
  [[ "$output" == "dioctl: /dev/mem: Operation not permitted ("*"/proc/iomem)" ]]
}

# dioctl on the test's board, its standard output a full disk.
dioctl_to_full_disk() {
  run_prog "$DIOCTL" --device "$BOARD" "$@" >/dev/full
}

@test "output that cannot be written: status 1 and the write error, never a silent 0" {
  for verb in get info "show --json" "watch --initial --timeout 5s"; do
    # shellcheck disable=SC2086 # the verb and its options as words
    run dioctl_to_full_disk $verb
    [ "$status" -eq 1 ] || { echo "$verb: status $status" >&2; false; }
    output_is "dioctl: cannot write the output: No space left on device"
  done
}

# A board file's permission is the user's to fix: root and CAP_SYS_RAWIO
# have nothing to do with it.
@test "device errors of a board file without read and write permission say so" {
  [ "$(id -u)" -ne 0 ] || skip "root opens any file: a board file cannot refuse root"
  chmod a-w "$BOARD"
  run dioctl --device "$BOARD" get
  status_is 1
  output_is "dioctl: $BOARD: Permission denied (a board file needs read and write permission for this user)"
}

@test "usage errors: status 2, the bad word named, nothing written" {
  usage_error_names frob frob
  usage_error_names "no verb"
  usage_error_names DX9 get DX9
  usage_error_names DI3 set DO0=1 DI3=1
  usage_error_names "'2'" set DO0=1 DO1=2
  usage_error_names 0x100 set DO=0x100
  usage_error_names 0x8 set LED=0x8
  usage_error_names "'zz'" set DO=zz
  usage_error_names DO4 set DO4
  usage_error_names "DO3 is not an input" counters DI0 DO3
  usage_error_names "LED is not an input" counters LED
  usage_error_names "'speed'" counters --clear counts,speed
  usage_error_names "'DI3' is none of counts, latches, on-time; name the inputs outside its list, before or after it: dioctl counters DI3 --clear counts" counters --clear DI3
  usage_error_names "--json excludes --clear" counters --json --clear counts
  usage_error_names DI0 toggle DO0 DI0
  usage_error_names DO3 toggle DO3 DO3
  usage_error_names DO3 toggle DO do3
  usage_error_names --json get --json --numeric
  usage_error_names "'10'" pulse DO0 --width 10
  usage_error_names "'-5ms'" pulse DO0 --width -5ms
  usage_error_names "'0s'" pulse DO0 --width 0s
  usage_error_names "'5ms'" pulse DO0 --width 10ms --period 5ms
  usage_error_names "'1.5us'" pulse DO0 --width 1.5us
  usage_error_names "'3h'" pulse DO0 --width 3h
  # Too large to count in microseconds at all: too long, not a wrapped small value.
  usage_error_names "'534955578137577s'" pulse DO0 --width 534955578137577s
  usage_error_names "'999999999999999m'" wait DI3=1 --timeout 999999999999999m
  usage_error_names DO pulse DO
  usage_error_names DI2 pulse DI2
  usage_error_names --count pulse DO0 --count 0
  usage_error_names "'11s'" watch --interval 11s
  usage_error_names "'61s'" watch --debounce 61s
  usage_error_names "--count: must be at least 1" watch --count 0
  usage_error_names "'1'" show --watch --interval 1
  usage_error_names --watch show --interval 1s
  usage_error_names DI wait DI=0x01
  usage_error_names "'high'" wait DI0=high
}
