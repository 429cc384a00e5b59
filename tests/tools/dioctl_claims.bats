# dioctl on claims, through the board service: set --hold claims the lines
# it sets and releases them to their safe values when stopped, others'
# writes to them are refused naming the holder, pulse is carried out by the
# service, info shows who holds what.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() {
  setup_boards
  start_board_service
}
teardown() {
  [ -z "${HOLDER_PID:-}" ] || kill "$HOLDER_PID" 2>/dev/null || true
  kill "$SERVICE_PID" 2>/dev/null || true
}

# dioctl set --hold through the service in the background, with the
# arguments given; returns once it says it holds the lines. Its process id
# in $HOLDER_PID, its output in $HOLDER_OUT.
hold() {
  HOLDER_OUT="$BATS_TEST_TMPDIR/holder.out"
  # The last holder's words must not answer for this one: the background
  # shell empties the file only once it runs.
  rm -f "$HOLDER_OUT"
  spawn_prog "$HOLDER_OUT" "$DIOCTL" --device "$SOCKET" set --hold "$@"
  HOLDER_PID=$SPAWNED_PID
  wait_for_text "press Ctrl-C to release" "$HOLDER_OUT" "$HOLDER_PID" ||
    { cat "$HOLDER_OUT" >&2; return 1; }
}

# Ends the holder with signal $1; its exit status into $status.
stop_holder() {
  kill -s "$1" "$HOLDER_PID"
  status=0
  wait "$HOLDER_PID" || status=$?
  HOLDER_PID=
}

@test "set --hold, stopped by a signal of the stop table, releases its lines to their safe values" {
  # SIGKILL: dioctl cannot act, the service applies the same safe values
  # within its interval (1 ms) and 100 ms of the holder's end.
  for signal in KILL INT TERM HUP USR1; do
    hold DO2=1 LED1=0 --safe 0x100
    [ "$(peek "${DO_REGISTERS[2]}")$(peek "${LED_REGISTERS[0]}")" = 0001 ] ||
      { echo "SIG$signal: not set" >&2; false; }
    stop_holder "$signal"
    ended=$(date +%s%N)
    case $signal in
      USR1 | KILL) expected=$((128 + $(kill -l "$signal"))) ;;
      *) expected=130 ;;
    esac
    [ "$status" -eq "$expected" ] || { echo "SIG$signal: status $status, not $expected" >&2; false; }
    # DO2 inactive, LED1 lit: the safe values.
    until [ "$(peek "${DO_REGISTERS[2]}")$(peek "${LED_REGISTERS[0]}")" = 0100 ]; do
      [ "$signal" = KILL ] && [ $(($(date +%s%N) - ended)) -lt 101000000 ] ||
        { echo "SIG$signal: not at the safe values" >&2; cat "$HOLDER_OUT" >&2; false; }
    done
  done
  grep -qx "released DO2 and LED1 (now at their safe values)" "$HOLDER_OUT"

  hold DO5=1 --safe keep --consumer keeper
  stop_holder TERM
  status_is 130
  [ "$(peek "${DO_REGISTERS[5]}")" = 00 ]  # left driven
}

@test "a write to a line another program holds is refused, naming it and its pid; other lines are not" {
  hold DO3=1 --consumer mixer --lease 2s
  before=$(driven_registers)
  for write in "set DO3=0" "set DO4=1 DO=0x00" "toggle DO3" "pulse DO3 --width 1ms" "set DO3=0 --hold"; do
    run through_service $write
    status_is 1
    output_is "dioctl: DO3 is held by mixer (pid $HOLDER_PID); writes to it are refused until it releases it" ||
      { echo "dioctl $write" >&2; false; }
  done
  [ "$(driven_registers)" = "$before" ]  # not even DO4 of the second
  run -0 through_service set DO4=1
  [ "$(peek "${DO_REGISTERS[4]}")" = 00 ]
  run -0 through_service info
  [ "${lines[21]}" = "CLAIM DO3: held by mixer (pid $HOLDER_PID), lease 2s, safe value 0" ]
  [[ "${lines[22]}" == "SAMPLER: every 1ms, "* && "${lines[23]}" == "DEBOUNCE: DI0 0s, "* ]]
  [ "${#lines[@]}" -eq 24 ]  # the sampler's two lines after the claims
  [ "$(peek "${DO_REGISTERS[3]}")" = 00 ]  # the holder's level through it all
}

@test "set --hold --lease: dioctl feeds its lease while it waits; stopped past it, the lines go safe and the hold ends" {
  hold DO6=1 --lease 300ms
  sleep 1  # three leases, idle
  [ "$(peek "${DO_REGISTERS[6]}")" = 00 ]
  kill -s STOP "$HOLDER_PID"
  for ((i = 0; i < 200; i++)); do [ "$(peek "${DO_REGISTERS[6]}")" = 01 ] && break; sleep 0.01; done
  [ "$(peek "${DO_REGISTERS[6]}")" = 01 ]
  kill -s CONT "$HOLDER_PID"
  status=0
  wait "$HOLDER_PID" || status=$?
  HOLDER_PID=
  status_is 1
  grep -qF "dioctl: the lease ran out (dioctl sent nothing for 300ms): the board service put DO6 to its safe value; the hold has ended" "$HOLDER_OUT"
}

@test "set --hold on a board file opened directly is refused; its options need --hold" {
  before=$(board_digest)
  run dioctl set DO0=1 --hold
  status_is 1
  output_is "dioctl: $BOARD: --hold needs the board service (dio-boardd): it keeps the claim and applies the safe values once dioctl is gone, and a device opened directly has nobody to do that; give the service's socket with --device"
  [ "$(board_digest)" = "$before" ]
  usage_error_names --safe set DO0=1 --safe 0x01
  usage_error_names --lease set DO0=1 --lease 1s
  usage_error_names 0x02 set DO0=1 --hold --safe 0x02
  usage_error_names "'Keep' is not a mask such as 0x05 (0x00 to 0x7ff), or keep" set DO0=1 --hold --safe Keep
  usage_error_names --lease set DO0=1 --hold --lease 1500us
  usage_error_names 'a lease that runs out still drives' set DO0=1 --hold --safe keep --lease 1s
  usage_error_names 'a	b' set DO0=1 --hold --consumer 'a	b'
  usage_error_names 01234567890123456789012345678901 set DO0=1 --hold --consumer 01234567890123456789012345678901
}

@test "pulse through the service: waited for, back at its level, and finished by the service when dioctl is killed" {
  start=$(date +%s%N)
  run -0 through_service pulse DO1 --width 200ms --count 2 --period 300ms
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 500 ]
  [ "$(peek "${DO_REGISTERS[1]}")" = 01 ]

  # Under an emulator each dioctl takes longer to start: a longer pulse
  # leaves room for the two runs made while it lasts.
  width_s=1
  [ -z "$VARNIK_TEST_LAUNCHER" ] || width_s=4
  spawn_prog "$BATS_TEST_TMPDIR/pulse.out" "$DIOCTL" --device "$SOCKET" pulse DO1 --width "${width_s}s"
  pulser=$SPAWNED_PID
  for ((i = 0; i < 1000; i++)); do [ "$(peek "${DO_REGISTERS[1]}")" = 00 ] && break; sleep 0.01; done
  run -0 through_service info
  [ "${lines[21]}" = "CLAIM DO1: pulsing" ]
  run through_service set DO1=0
  status_is 1
  output_is "dioctl: DO1 is pulsing; writes to it are refused until the pulse is over"
  kill -9 "$pulser"
  wait "$pulser" || true
  [ "$(peek "${DO_REGISTERS[1]}")" = 00 ]
  for ((i = 0; i < (width_s + 2) * 100; i++)); do [ "$(peek "${DO_REGISTERS[1]}")" = 01 ] && break; sleep 0.01; done
  [ "$(peek "${DO_REGISTERS[1]}")" = 01 ]  # the service ended it
}
