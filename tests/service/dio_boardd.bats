# dio-boardd from the shell: the options it refuses before touching
# anything, and a start and stop as an operator sees them.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

setup() {
  setup_boards
  SOCKET="$BATS_TEST_TMPDIR/board.sock"
  GROUP=$(id -gn)
}

teardown() { stop_spawned; }

@test "--check reads the options and opens neither board nor socket" {
  run -0 run_prog "$DIO_BOARDD" --check --device "$BATS_TEST_TMPDIR/no-board" --socket "$SOCKET" \
    --group "$GROUP"
  output_is ""
  [ ! -e "$SOCKET" ]
}

@test "bad options are usage errors naming the option; a missing group an error at start" {
  local long
  long="/tmp/$(printf 'x%.0s' {1..104})"
  run -2 run_prog "$DIO_BOARDD" --check --socket "$long" --group "$GROUP"
  [[ "$output" == *"--socket: $long is 109 bytes long, a Unix socket's path at most 107"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --interval 20s --group "$GROUP"
  [[ "$output" == "dio-boardd: --interval"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --power-on-leds 0x08 --group "$GROUP"
  [[ "$output" == *"--power-on-leds: '0x08' is above 0x07"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --power-on-outputs 0x100 --group "$GROUP"
  [[ "$output" == *"--power-on-outputs: '0x100' is above 0xff"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --stop-outputs hold --group "$GROUP"
  [[ "$output" == *"--stop-outputs: 'hold' is not a mask"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --debounce DI8=20ms --group "$GROUP"
  [[ "$output" == *"--debounce: 'DI8=20ms' names no input: give DURATION for every input or DIn=DURATION for one (DI0..DI7)"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --debounce DI3=61s --group "$GROUP"
  [[ "$output" == *"--debounce DI3: '61s' is too long: at most 1m"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --debounce 5 --group "$GROUP"
  [[ "$output" == *"--debounce"*"needs a unit"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --frequency-window 5ms --group "$GROUP"
  [[ "$output" == *"--frequency-window"*"is too short: at least 10ms"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --state-interval 61m --group "$GROUP"
  [[ "$output" == *"--state-interval: '61m' is too long: at most 60m"* ]]
  run -2 run_prog "$DIO_BOARDD" --check --state-file "" --group "$GROUP"
  [[ "$output" == *"--state-file: an empty value names no state file"* ]]
  run -0 run_prog "$DIO_BOARDD" --check --debounce 5ms --debounce DI3=20ms --debounce DI0=0s \
    --frequency-window 60s --state-interval 1s --realtime --interval 1ms --group "$GROUP"
  run -1 run_prog "$DIO_BOARDD" --check --group no-such-group-of-varnik
  output_is "dio-boardd: --group no-such-group-of-varnik: no such group (create it with groupadd no-such-group-of-varnik, or name the group of the socket's users with --group)"
}

@test "a socket as the device is refused: the service opens the board itself" {
  spawn_prog "$BATS_TEST_TMPDIR/first.log" "$DIO_BOARDD" --device "$BOARD" --socket "$SOCKET" \
    --state-file "$BATS_TEST_TMPDIR/inputs.state" \
    --group "$GROUP"
  for _ in $(seq 100); do [ -S "$SOCKET" ] && break; sleep 0.1; done
  run -1 run_prog "$DIO_BOARDD" --device "$SOCKET" --socket "$BATS_TEST_TMPDIR/second.sock" \
    --group "$GROUP"
  [[ "$output" == *"--device $SOCKET is a socket"* ]]
  [ ! -e "$BATS_TEST_TMPDIR/second.sock" ]
  kill -TERM "$SPAWNED_PID"
  wait_spawned
  [ "$status" -eq 0 ]
  grep -qx "serving $BOARD on $SOCKET" "$BATS_TEST_TMPDIR/first.log"
  [ ! -e "$SOCKET" ]
}
