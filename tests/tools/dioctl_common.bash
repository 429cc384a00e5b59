# What every dioctl suite shares: the board helpers, dioctl on the test's
# own board, and the registers the tests look at (decimal addresses, as
# peek and poke take them).
load ../common/tool_helpers

: "${DIOCTL:?DIOCTL must name the dioctl program}"

DO_REGISTERS=($((0xFDAE04E8)) $((0xFDAE04F0)) $((0xFDAE04F8)) $((0xFDAE0500)) $((0xFDAE0548)) $((0xFDAE0550)) $((0xFDAE0558)) $((0xFDAE0560)))
LED_REGISTERS=($((0xFDAF04A8)) $((0xFDAF04B0)) $((0xFDAF04B8)))

# dioctl on the test's board.
dioctl() {
  run_prog "$DIOCTL" --device "$BOARD" "$@"
}

# Output register bytes DO0..DO7, then LED1..LED3, space-separated.
driven_registers() {
  local address bytes=()
  for address in "${DO_REGISTERS[@]}" "${LED_REGISTERS[@]}"; do bytes+=("$(peek "$address")"); done
  echo "${bytes[*]}"
}

# Runs dioctl with the arguments after $1 and checks a usage error: status
# 2, one line that names word $1, and not a byte of either register page
# changed.
usage_error_names() {
  local word=$1 before
  shift
  before=$(board_digest)
  run dioctl "$@"
  status_is 2
  [ "${#lines[@]}" -eq 1 ] || { echo "not one line: $output" >&2; return 1; }
  [[ "$output" == *"$word"* ]] || { echo "'$word' not named: $output" >&2; return 1; }
  [ "$(board_digest)" = "$before" ] || { echo "the board changed: dioctl $*" >&2; return 1; }
}

# Runs a command in the background, $1 seconds after a program has opened
# board $BOARD (the board shows among that process's mappings): dioctl's
# start takes its own time on a slow or emulated machine, and a change made
# before its watcher starts is no change to it.
later() {
  local delay=$1
  shift
  (board_opened_by_a_program && sleep "$delay" && "$@") >/dev/null 2>&1 3>&- &
}

# Waits, at most 20 s, until some process has $BOARD mapped.
board_opened_by_a_program() {
  local i
  for ((i = 0; i < 200; i++)); do
    grep -qsF -- "$BOARD" /proc/[0-9]*/maps && return 0
    sleep 0.1
  done
}

# Parses each line of stdin as JSON (a parse error fails) and checks
# Python expression $1 over `docs`, the list of them, and `doc`, the first.
json_check() {
  python3 -c '
import json, sys
docs = [json.loads(line) for line in sys.stdin.read().splitlines()]
doc = docs[0] if docs else None
sys.exit(0 if eval(sys.argv[1]) else 1)' "$1"
}

# Runs the command "$@" on a pseudo-terminal (script(1)), with its exit
# status; its output without the terminal's carriage returns.
on_terminal() {
  script -qec "$(printf '%q ' "$@")" /dev/null | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# dioctl on the test's board, on a pseudo-terminal, for at most 10 s.
dioctl_on_terminal() {
  prog_command "$DIOCTL" --device "$BOARD" "$@"
  on_terminal timeout -s INT --preserve-status 10 "${PROG_COMMAND[@]}"
}

# dio-boardd of this build ($DIO_BOARDD) on the test's board, its socket
# $SOCKET and its state file in the test's folder, its log in $SERVICE_LOG,
# with the options given after its own; returns once it serves (at most
# 20 s). Its process id is then $SPAWNED_PID and $SERVICE_PID.
start_board_service() {
  SOCKET="$BATS_TEST_TMPDIR/board.sock"
  SERVICE_LOG="$BATS_TEST_TMPDIR/service.log"
  spawn_prog "$SERVICE_LOG" "${DIO_BOARDD:?DIO_BOARDD must name the dio-boardd program}" \
    --device "$BOARD" --socket "$SOCKET" --group "$(id -gn)" --interval 1ms \
    --state-file "$BATS_TEST_TMPDIR/inputs.state" "$@"
  SERVICE_PID=$SPAWNED_PID
  wait_for_text serving "$SERVICE_LOG" || { cat "$SERVICE_LOG" >&2; return 1; }
}

# Waits, at most 20 s, until file $2 holds text $1; gives up at once when
# process $3, if given, has ended.
wait_for_text() {
  local i
  for ((i = 0; i < 400; i++)); do
    grep -qsF -- "$1" "$2" && return 0
    [ -z "${3:-}" ] || kill -0 "$3" 2>/dev/null || { grep -qsF -- "$1" "$2"; return; }
    sleep 0.05
  done
  return 1
}

# dioctl through the board service of start_board_service.
through_service() {
  run_prog "$DIOCTL" --device "$SOCKET" "$@"
}
