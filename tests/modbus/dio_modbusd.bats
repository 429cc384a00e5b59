# dio-modbusd from the shell: an mbpoll session end to end, the input
# counters with inputs flipped by dio-sim, and the command line's checks and
# errors. Every gateway listens on 127.0.0.1 at a port the kernel picks.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_MODBUSD:?DIO_MODBUSD must name the dio-modbusd program}"

setup() { setup_boards; }
teardown() {
  stop_spawned
  if [ -n "${SERVICE_PID:-}" ]; then kill "$SERVICE_PID" 2>/dev/null || true; fi
}

DO_REGISTERS=($((0xFDAE04E8)) $((0xFDAE04F0)) $((0xFDAE04F8)) $((0xFDAE0500)) $((0xFDAE0548)) $((0xFDAE0550)) $((0xFDAE0558)) $((0xFDAE0560)))
LED_REGISTERS=($((0xFDAF04A8)) $((0xFDAF04B0)) $((0xFDAF04B8)))

# Starts the gateway on $BOARD with the arguments given; $PORT is the port
# it bound, read from its start-up line; its log is $GATEWAY_LOG.
# A log file of its own each time: the shell may read the file before the
# new gateway's redirection has emptied it.
start_gateway() {
  GATEWAY_STARTS=$((${GATEWAY_STARTS:-0} + 1))
  GATEWAY_LOG="$BATS_TEST_TMPDIR/gateway-$GATEWAY_STARTS.log"
  : >"$GATEWAY_LOG"  # there before the gateway's own redirection makes it
  spawn_prog "$GATEWAY_LOG" "$DIO_MODBUSD" --device "$BOARD" --listen 127.0.0.1:0 "$@"
  local i
  for ((i = 0; i < 300; i++)); do
    PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$GATEWAY_LOG")
    [ -n "$PORT" ] && return 0
    sleep 0.1
  done
  echo "no start-up line; log:" >&2
  cat "$GATEWAY_LOG" >&2
  return 1
}

# mbpoll once, PDU addresses from 0, reading COUNT values or writing VALUES:
#   mb TYPE REF COUNT        mb TYPE REF VALUES...
mb() {
  local type=$1 ref=$2
  shift 2
  local count=()
  if [ $# -eq 1 ] && [ "${MB_WRITE:-}" != 1 ]; then count=(-c "$1"); shift; fi
  mbpoll -m tcp -p "$PORT" -0 -1 -o 5 -t "$type" -r "$ref" "${count[@]}" 127.0.0.1 "$@"
}

# mb, writing the one value given.
mb_write() { MB_WRITE=1 mb "$@"; }

# The values mbpoll read, space-separated.
mb_values() {
  mb "$@" | sed -n 's/^\[[0-9]*\]: *\t*//p' | tr -d '\t' | tr '\n' ' ' | sed 's/ $//'
}

# Output register bytes DO0..DO7, then LED1..LED3.
driven_registers() {
  local address bytes=()
  for address in "${DO_REGISTERS[@]}" "${LED_REGISTERS[@]}"; do bytes+=("$(peek "$address")"); done
  echo "${bytes[*]}"
}

@test "mbpoll: coils drive the register bytes, registers read back, inputs read as set" {
  start_gateway
  run -0 mb 0 0 1 0 1 0 0 1 0 1 1 0 1
  [ "$(driven_registers)" = "00 01 00 01 01 00 01 00 00 01 00" ]
  [ "$(mb_values 4:hex 0 3)" = "0x00A5 0x0005 0x0000" ]
  run -0 mb_write 4 0 60
  [ "$(driven_registers)" = "01 01 00 00 00 00 01 01 00 01 00" ]
  set_input 2 1
  set_input 7 1
  [ "$(mb_values 1 0 8)" = "0 0 1 0 0 0 0 1" ]
  [ "$(mb_values 3 0 3)" = "132 60 5" ]
  [ "$(mb_values 0 8 3)" = "1 0 1" ]
}

@test "through the board service: Modbus reaches the service's board; a lost service stops the gateway with status 1" {
  local socket="$BATS_TEST_TMPDIR/board.sock" service_log="$BATS_TEST_TMPDIR/service.log"
  spawn_prog "$service_log" "$DIO_BOARDD" --device "$BOARD" --socket "$socket" --group "$(id -gn)" --interval 1ms \
    --state-file "$BATS_TEST_TMPDIR/inputs.state"
  SERVICE_PID=$SPAWNED_PID
  local i
  for ((i = 0; i < 200; i++)); do grep -qs "^serving " "$service_log" && break; sleep 0.1; done
  # The gateway's own --device comes last and wins: the service's socket.
  start_gateway --device "$socket"
  run -0 mb 0 0 1 0 1 0 0 1 0 1 1 0 1
  [ "$(driven_registers)" = "00 01 00 01 01 00 01 00 00 01 00" ]
  set_input 2 1
  [ "$(mb_values 1 0 8)" = "0 0 1 0 0 0 0 0" ]
  grep -q "(dio-modbusd) connected" "$service_log"
  # No levels made up once the service is gone: the next poll of the board
  # fails, and the gateway stops for its supervisor to restart it.
  kill -KILL "$SERVICE_PID"
  run mb 1 0 8
  for ((i = 0; i < 200; i++)); do kill -0 "$SPAWNED_PID" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$SPAWNED_PID" 2>/dev/null || { echo "the gateway still runs"; false; }
  wait_spawned
  [ "$status" -eq 1 ]
  grep -q "^dio-modbusd: $socket: " "$GATEWAY_LOG" || { cat "$GATEWAY_LOG"; false; }
}

@test "counters: rising edges of each input flipped with dio-sim, reset by mask" {
  start_gateway --poll-interval 5ms
  for _ in 1 2 3; do
    set_input 3 1
    sleep 0.1
    set_input 3 0
    sleep 0.1
  done
  set_input 0 1
  sleep 0.2
  [ "$(mb_values 3 3 8)" = "1 0 0 3 0 0 0 0" ]
  run -0 mb_write 4 2 8  # reset DI3's counter only
  [ "$(mb_values 3 3 8)" = "1 0 0 0 0 0 0 0" ]
  [ "$(mb_values 4 2 1)" = "0" ]
}

@test "counters: a level shorter than --debounce is not counted, a held one is" {
  start_gateway --poll-interval 5ms --debounce 300ms
  set_input 5 1
  set_input 5 0  # two dio-sim runs apart: well under 300 ms
  sleep 0.5
  [ "$(mb_values 3 8 1)" = "0" ]
  set_input 5 1
  sleep 0.8
  [ "$(mb_values 3 8 1)" = "1" ]
}

@test "--check: the warnings, status 0, neither port nor device touched" {
  # The last --listen wins, as the last --device does.
  run -0 run_prog "$DIO_MODBUSD" --check --listen 0.0.0.0:502 --listen 127.0.0.1:502
  output_is ""
  run -0 run_prog "$DIO_MODBUSD" --check --device /nonexistent/board --listen 0.0.0.0:502
  [ "${#lines[@]}" -eq 1 ]
  [[ "$output" == "dio-modbusd: warning: listening on 0.0.0.0:502 beyond loopback with no --allow"* ]]
  run -0 run_prog "$DIO_MODBUSD" --check --listen '[::]:502' --allow fd00::/8 --safe-outputs 0x0f
  output_is "dio-modbusd: warning: --safe-outputs has no effect without --watchdog"
  run -0 run_prog "$DIO_MODBUSD" --check --listen '[::1]:502' --watchdog 2s --safe-outputs 0x0f
  output_is ""
  # A claim's safe state applies when the gateway ends, watchdog or not;
  # --claim-with-watchdog claims only with one.
  run -0 run_prog "$DIO_MODBUSD" --check --claim --safe-outputs 0x0f
  output_is ""
  run -0 run_prog "$DIO_MODBUSD" --check --claim-with-watchdog --safe-outputs 0x0f
  output_is "dio-modbusd: warning: --safe-outputs has no effect without --watchdog"
  run -2 run_prog "$DIO_MODBUSD" --check --claim --read-only
  [[ "$output" == "dio-modbusd: --claim with --read-only: "* ]]
  run -2 run_prog "$DIO_MODBUSD" --check --claim-with-watchdog --watchdog 50ms
  [[ "$output" == "dio-modbusd: --claim with --watchdog below 100ms: "* ]]
}

@test "usage errors: status 2, one line naming the option, the board untouched" {
  before=$(board_digest)
  for args in "--listen 127.0.0.1" "--listen 127.0.0.256:502" "--listen 127.0.0.1:65536" \
      "--listen [::1:502" "--allow 10.0.0.0/33" "--allow example.org" "--watchdog 5" \
      "--watchdog 0s" "--safe-outputs 0x100" "--power-on-outputs on" "--unit-id 256" \
      "--max-clients 0" "--poll-interval 0s" "--debounce 2m" "--idle-timeout -1s" "--bogus" \
      "--allow ::ffff:127.0.0.1" "--allow ::ffff:10.0.0.0/104" "--read-only --watchdog 1s"; do
    read -ra words <<<"$args"
    run run_prog "$DIO_MODBUSD" --device "$BOARD" "${words[@]}"
    [ "$status" -eq 2 ] || { echo "status $status for $args: $output" >&2; return 1; }
    [ "${#lines[@]}" -eq 1 ] || { echo "not one line for $args: $output" >&2; return 1; }
    [[ "$output" == *"${words[0]}"* ]] || { echo "'${words[0]}' not named: $output" >&2; return 1; }
  done
  [ "$(board_digest)" = "$before" ]
}

@test "a device or a port it cannot use: status 1, the message names it" {
  run -1 run_prog "$DIO_MODBUSD" --device "$BATS_TEST_TMPDIR/none" --listen 127.0.0.1:0
  [[ "$output" == "dio-modbusd: $BATS_TEST_TMPDIR/none: No such file or directory"* ]]
  echo short >"$BATS_TEST_TMPDIR/short"
  run -1 run_prog "$DIO_MODBUSD" --device "$BATS_TEST_TMPDIR/short" --listen 127.0.0.1:0
  [[ "$output" == *"neither the memory device nor a board file of exactly 4 GiB"* ]]
  start_gateway
  run -1 run_prog "$DIO_MODBUSD" --device "$BOARD" --listen "127.0.0.1:$PORT"
  output_is "dio-modbusd: cannot listen on 127.0.0.1:$PORT: Address already in use (another program listens there; stop it or choose another port with --listen)"
}

@test "the journal's lines: connect, disconnect, refusal; one line per request only when asked" {
  start_gateway --max-clients 1
  mb 3 0 1 >/dev/null
  mb 3 0 2 >/dev/null
  grep -Eq '^client 127\.0\.0\.1:[0-9]+ connected \(1 of 1\)$' "$GATEWAY_LOG"
  grep -Eq '^client 127\.0\.0\.1:[0-9]+ disconnected: closed by the client$' "$GATEWAY_LOG"
  run ! grep -q '^request' "$GATEWAY_LOG"
  exec 5<>"/dev/tcp/127.0.0.1/$PORT"  # holds the one place
  run -1 mb 3 0 1
  exec 5>&-
  grep -Eq '^refused 127\.0\.0\.1:[0-9]+: --max-clients 1 reached$' "$GATEWAY_LOG"
  kill -TERM "$SPAWNED_PID"
  wait_spawned
  status_is 0
  start_gateway --log-requests
  mb 3 0 1 >/dev/null
  mb 3 12 1 >/dev/null || true
  grep -Eq '^request 127\.0\.0\.1:[0-9]+ transaction [0-9]+ unit 1 function 0x04: ok$' "$GATEWAY_LOG"
  grep -Eq '^request 127\.0\.0\.1:[0-9]+ transaction [0-9]+ unit 1 function 0x04: exception 0x02$' "$GATEWAY_LOG"
}
