# dioctl pulse: the line goes to the other level and back, as often as
# asked, and is left as it was found, also when a signal stops it.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() { setup_boards; }
teardown() { stop_spawned; }

@test "pulse: the other level for the width, then back (default 100ms)" {
  spawn_prog "$BATS_TEST_TMPDIR/pulse.out" "$DIOCTL" --device "$BOARD" pulse DO2 --width 2s
  board_opened_by_a_program && sleep 0.3
  [ "$(peek "${DO_REGISTERS[2]}")" = 00 ]
  wait_spawned
  status_is 0
  [ "$(peek "${DO_REGISTERS[2]}")" = 01 ]

  run dioctl set LED2=1
  start=$(date +%s%N)
  run dioctl pulse led2
  status_is 0
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 100 ]
  [ "$(peek "${LED_REGISTERS[1]}")" = 00 ]
}

@test "pulse --count --period: as many pulses as asked, seen by a watcher" {
  spawn_prog "$BATS_TEST_TMPDIR/watch.out" "$DIOCTL" --device "$BOARD" \
    watch DO5 --interval 2ms --count 6 --timeout 30s
  board_opened_by_a_program && sleep 0.3  # the watcher is up
  start=$(date +%s%N)
  run dioctl pulse DO5 --width 100ms --count 3 --period 400ms
  status_is 0
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 900 ]  # 2 periods and a width
  wait_spawned
  status_is 0
  run cut -d' ' -f2- "$BATS_TEST_TMPDIR/watch.out"
  output_is "rising DO5
falling DO5
rising DO5
falling DO5
rising DO5
falling DO5"
}

@test "pulse stopped by any signal of the stop table: the level is restored, then its status" {
  # 130 after a requested stop, 128 + N after an unexpected one.
  signals=(HUP INT TERM QUIT USR1 USR2 ALRM VTALRM PROF IO PWR XCPU XFSZ)
  # qemu-user keeps the host's first real-time signals for itself and
  # renumbers the rest: under it, the number sent is not the one received.
  [ -n "${VARNIK_TEST_LAUNCHER:-}" ] || signals+=(RTMIN RTMAX)
  for signal in "${signals[@]}"; do
    run dioctl set DO6=1
    spawn_prog "$BATS_TEST_TMPDIR/pulse.out" "$DIOCTL" --device "$BOARD" pulse DO6 --width 20s
    board_opened_by_a_program && sleep 0.3
    [ "$(peek "${DO_REGISTERS[6]}")" = 01 ] || { echo "SIG$signal: no pulse" >&2; false; }
    kill -s "$signal" "$SPAWNED_PID"
    wait_spawned
    case $signal in
      HUP | INT | TERM) expected=130 ;;
      *) expected=$((128 + $(kill -l "$signal"))) ;;
    esac
    [ "$status" -eq "$expected" ] || { echo "SIG$signal: status $status, not $expected" >&2; false; }
    [ "$(peek "${DO_REGISTERS[6]}")" = 00 ] || { echo "SIG$signal: DO6 left driven" >&2; false; }
  done
}
