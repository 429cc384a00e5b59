# dio-mqttd's command line: --help and --version, --check on a board file,
# and each refusal of a bad option (status 2, one line naming it) or of a
# board it cannot use (status 1). No broker is needed: --check and every
# refusal end before the bridge would connect.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_MQTTD:?DIO_MQTTD must name the dio-mqttd program}"

teardown() {
  stop_spawned
  if [ -n "${SERVICE_PID:-}" ]; then kill "$SERVICE_PID" 2>/dev/null || true; fi
}

setup() {
  setup_boards
  PASSWORD="$BATS_TEST_TMPDIR/password"
  printf 'secret\n' >"$PASSWORD"
  chmod 0600 "$PASSWORD"
  PEM="$BATS_TEST_TMPDIR/file.pem"  # read, never parsed, by --check
  echo pem >"$PEM"
  chmod 0600 "$PEM"
}

@test "--help names every option; --version prints the version" {
  run -0 run_prog "$DIO_MQTTD" --help
  for option in --device --broker --id --prefix --username --password-file --cafile --cert \
      --key --keepalive --discovery-prefix --ha-status-topic --no-discovery --read-only \
      --stats-interval --claim --safe-outputs --lease --check; do
    grep -qe "$option" <<<"$output" || { echo "not in --help: $option" >&2; return 1; }
  done
  [[ "$output" == *"Exit status: 0 stopped by SIGHUP"* ]]
  run -0 run_prog "$DIO_MQTTD" --version
  output_is "dio-mqttd ${VARNIK_VERSION:?}"
}

@test "--check: options, files and board accepted, status 0, nothing said, the board untouched" {
  before=$(board_digest)
  run -0 run_prog "$DIO_MQTTD" --device "$BOARD" --id board-1 --check
  output_is ""
  # A password over plain mqtt:// to loopback; TLS with every file.
  run -0 run_prog "$DIO_MQTTD" --device "$BOARD" --id board-1 --check \
    --broker mqtt://localhost:1884 --username u --password-file "$PASSWORD"
  output_is ""
  run -0 run_prog "$DIO_MQTTD" --device "$BOARD" --id board_1 --check \
    --broker mqtts://broker.example --username u --password-file "$PASSWORD" \
    --cafile "$PEM" --cert "$PEM" --key "$PEM" --keepalive 2m --stats-interval 100ms \
    --prefix plant/hall-2 --discovery-prefix ha --ha-status-topic ha/status --no-discovery \
    --read-only
  output_is ""
  [ "$(board_digest)" = "$before" ]
}

@test "warnings: a password file or a key readable by every user" {
  chmod 0644 "$PASSWORD" "$PEM"
  run -0 run_prog "$DIO_MQTTD" --device "$BOARD" --id b --check --broker mqtts://broker.example \
    --username u --password-file "$PASSWORD" --cert "$PEM" --key "$PEM"
  [ "${#lines[@]}" -eq 2 ]
  [[ "${lines[0]}" == "dio-mqttd: warning: --password-file $PASSWORD is readable by every user"* ]]
  [[ "${lines[1]}" == "dio-mqttd: warning: --key $PEM (a private key) is readable by every user"* ]]
}

@test "usage errors: status 2, one line naming the option, the board untouched" {
  : >"$BATS_TEST_TMPDIR/empty"
  local none="$BATS_TEST_TMPDIR/none" tls=(--broker mqtts://broker.example)
  before=$(board_digest)
  # Each case: the option the message must name, then the arguments.
  while IFS='|' read -r named args; do
    args=${args//PASSWORD/$PASSWORD}
    args=${args//PEM/$PEM}
    args=${args//EMPTY/$BATS_TEST_TMPDIR/empty}
    args=${args//NONE/$none}
    args=${args//NOT_UTF8/$'\xff'}
    read -ra words <<<"$args"
    # --check: a value wrongly let through ends the run too, with 0.
    run run_prog "$DIO_MQTTD" --device "$BOARD" --check "${words[@]}"
    [ "$status" -eq 2 ] || { echo "status $status for $args: $output" >&2; return 1; }
    [ "${#lines[@]}" -eq 1 ] || { echo "not one line for $args: $output" >&2; return 1; }
    [[ "$output" == "dio-mqttd: "*"$named"* ]] || { echo "'$named' not named: $output" >&2; return 1; }
  done <<EOF_CASES
--id|--id board.7
--id|--id b/1
--prefix|--id b --prefix plant/+/x
--prefix|--id b --prefix \$SYS
--prefix|--id b --prefix /plant
--prefix|--id b --prefix plantNOT_UTF8
--discovery-prefix|--id b --discovery-prefix ha/
--discovery-prefix|--id b --discovery-prefix ha//x
--ha-status-topic|--id b --ha-status-topic ha/#
--keepalive|--id b --keepalive 4s
--keepalive|--id b --keepalive 30.5s
--stats-interval|--id b --stats-interval 50ms
--broker|--id b --broker http://broker.example
--password-file|--id b --password-file PASSWORD
--password-file|--id b --username u --password-file PASSWORD --broker mqtt://10.1.2.3
--password-file|--id b --username u --password-file EMPTY
--password-file|--id b --username u --password-file NONE
--cafile|--id b --cafile PEM
--cert|--id b --broker mqtts://broker.example --cert PEM
--key|--id b --broker mqtts://broker.example --key PEM
--cafile|--id b --broker mqtts://broker.example --cafile NONE
--claim|--id b --claim
--claim|--id b --claim --lease 5s --read-only
--lease|--id b --claim --lease 500ms
--safe-outputs|--id b --claim --lease 5s --safe-outputs 0x100
--safe-outputs|--id b --safe-outputs 0x01
--lease|--id b --lease 5s
--bogus|--id b --bogus
EOF_CASES
  [ "$(board_digest)" = "$before" ]
}

@test "the default id is the host name up to its first dot; one that is no id asks for --id" {
  unshare -Ur -u true 2>/dev/null || skip "no user namespaces here: the host name cannot be set"
  # In a namespace of its own, the host name set as the test needs it.
  with_host_name() {
    local name=$1
    shift
    prog_command "$@"
    # sethostname(2), allowed in the namespace, rather than a write to
    # /proc/sys, which a user may not make; not hostname(1), which refuses
    # the bad names this test needs.
    unshare -Ur -u python3 -c 'import os, socket, sys
socket.sethostname(sys.argv[1])
os.execvp(sys.argv[2], sys.argv[2:])' "$name" "${PROG_COMMAND[@]}"
  }
  run -0 with_host_name plc-7.plant.example "$DIO_MQTTD" --device "$BOARD" --check
  output_is ""
  run -2 with_host_name 'plc!7.plant.example' "$DIO_MQTTD" --device "$BOARD" --check
  [[ "$output" == "dio-mqttd: the host name 'plc!7.plant.example' gives no board id ("*"); give one with --id; see dio-mqttd --help" ]]
}

@test "a board it cannot use: status 1; --claim on a board that is not the service's" {
  run -1 run_prog "$DIO_MQTTD" --device "$BATS_TEST_TMPDIR/none" --id b --check
  [[ "$output" == "dio-mqttd: $BATS_TEST_TMPDIR/none: No such file or directory"* ]]
  run -1 run_prog "$DIO_MQTTD" --device "$BOARD" --id b --check --claim --lease 5s
  [ "${#lines[@]}" -eq 1 ]
  [[ "$output" == "dio-mqttd: "*"--claim"* ]]
}

# A loopback port nothing listens on: the bridge keeps trying to reach it.
unused_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

@test "through the service: --check --claim passes; a stop signal's exit status, broker or not" {
  local socket="$BATS_TEST_TMPDIR/board.sock" service_log="$BATS_TEST_TMPDIR/service.log" i
  spawn_prog "$service_log" "${DIO_BOARDD:?}" --device "$BOARD" --socket "$socket" \
    --group "$(id -gn)" --state-file "$BATS_TEST_TMPDIR/inputs.state"
  SERVICE_PID=$SPAWNED_PID
  for ((i = 0; i < 200; i++)); do grep -qs "^serving " "$service_log" && break; sleep 0.1; done
  run -0 run_prog "$DIO_MQTTD" --device "$socket" --id b --check --claim --lease 5s
  output_is ""
  # The broker out of reach holds up neither the start nor the stop.
  local port signal expected log
  port=$(unused_port)
  for signal in TERM:0 USR1:138; do
    log="$BATS_TEST_TMPDIR/bridge-${signal%:*}.log"
    spawn_prog "$log" "$DIO_MQTTD" --device "$socket" --id b --broker "mqtt://127.0.0.1:$port" \
      --claim --lease 5s
    for ((i = 0; i < 100; i++)); do grep -qs "^cannot reach " "$log" && break; sleep 0.1; done
    grep -q "^cannot reach mqtt://127.0.0.1:$port" "$log"
    kill -"${signal%:*}" "$SPAWNED_PID"
    wait_spawned
    status_is "${signal#*:}"
  done
}
