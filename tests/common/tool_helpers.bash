# Shared helpers for the shell tests of the tools (bats), run by ctest.
#
# ctest passes, in the environment:
#   VARNIK_SIM_LIBRARY    the simulated board's preload library
#   VARNIK_TEST_LAUNCHER  an emulator for the build's programs (qemu-i386 for
#                         the i386 build), empty on the host's own build
#   and the paths of the programs under test (DIOCTL, DIO_SIM, SAMPLE, ...).
#
# Every program under test runs with the simulated board preloaded on a
# throwaway board of its own: a test that forgets to name its board reaches
# that throwaway file, never a real "/dev/mem". The board a test means is
# $BOARD, a fresh board file made for each test.

: "${VARNIK_SIM_LIBRARY:?VARNIK_SIM_LIBRARY must name the simulated board library}"
VARNIK_TEST_LAUNCHER=${VARNIK_TEST_LAUNCHER:-}

# The board library's default device is the preload's "/dev/mem", never a
# board service that runs on the machine; a test that means a service names
# its socket.
export VARNIK_DIO_DEVICE=/dev/mem

readonly GPIO_PAGE=$((0xFDAE0000))
readonly LED_PAGE=$((0xFDAF0000))
readonly BOARD_SIZE=4294967296

# A fresh board file at $1: sparse, with both register pages at their reset
# value 0x03 (outputs inactive, LEDs dark, inputs inactive).
make_board() {
  local file=$1 page
  rm -f "$file"
  truncate -s "$BOARD_SIZE" "$file"
  for page in "$GPIO_PAGE" "$LED_PAGE"; do
    head -c 4096 /dev/zero | tr '\0' '\003' |
      dd of="$file" bs=4096 seek="$page" oflag=seek_bytes conv=notrunc status=none
  done
}

# Per test: $BOARD is the test's board, $THROWAWAY_BOARD the preload's.
setup_boards() {
  BOARD="$BATS_TEST_TMPDIR/board.img"
  THROWAWAY_BOARD="$BATS_TEST_TMPDIR/throwaway.img"
  make_board "$BOARD"
  export BOARD THROWAWAY_BOARD
}

# The command that runs a program of the build under the preload (and the
# emulator, if any), with the throwaway board as the simulated board's
# default, into the array PROG_COMMAND. env execs the program, so a program
# started in the background has $! as its own process id. The emulator is
# given the preload on its command line: a variable for it would reach the
# programs started from the emulated one too, and override their preload
# where the kernel runs them through binfmt_misc.
prog_command() {
  local board_setting=(VARNIK_SIM_BOARD="$THROWAWAY_BOARD")
  if [ "${PROG_WITHOUT_BOARD_VARIABLE:-}" = 1 ]; then board_setting=(-u VARNIK_SIM_BOARD); fi
  if [ -n "$VARNIK_TEST_LAUNCHER" ]; then
    PROG_COMMAND=(env "${board_setting[@]}"
      "$VARNIK_TEST_LAUNCHER" -E "LD_PRELOAD=$VARNIK_SIM_LIBRARY" "$@")
  else
    PROG_COMMAND=(env "${board_setting[@]}" LD_PRELOAD="$VARNIK_SIM_LIBRARY" "$@")
  fi
}

# Runs a program of the build as prog_command says:
#   run_prog "$DIOCTL" --device "$BOARD" get
# Use it under bats' `run` to capture status and output.
run_prog() {
  prog_command "$@"
  "${PROG_COMMAND[@]}"
}

# run_prog for a program that would run forever: ended with SIGINT after
# $1 seconds, which gives status 124.
#   run_prog_bounded 5 "$DIO_SIM" --board "$BOARD" run -- "$SAMPLE"
run_prog_bounded() {
  local seconds=$1
  shift
  prog_command "$@"
  timeout --signal=INT "$seconds" "${PROG_COMMAND[@]}"
}

# run_prog with VARNIK_SIM_BOARD unset, for a program that reads the
# variable itself (dio-sim's default board). Its preload then has no board
# at all: the device does not exist for it, and no real one is reached.
run_prog_without_board_variable() {
  PROG_WITHOUT_BOARD_VARIABLE=1 prog_command "$@"
  "${PROG_COMMAND[@]}"
}

# Starts a program the same way in the background, its output (stdout and
# stderr) into file $1; its process id is then in $SPAWNED_PID:
#   spawn_prog "$out" "$DIOCTL" --device "$BOARD" watch --timeout 10s
#   wait "$SPAWNED_PID"
spawn_prog() {
  local out=$1
  shift
  prog_command "$@"
  "${PROG_COMMAND[@]}" >"$out" 2>&1 3>&- &
  SPAWNED_PID=$!
}

# Waits for the program spawn_prog started; its exit status into $status.
wait_spawned() {
  status=0
  wait "$SPAWNED_PID" || status=$?
}

# Ends the program spawn_prog started, if it still runs (for teardown).
stop_spawned() {
  if [ -n "${SPAWNED_PID:-}" ]; then kill "$SPAWNED_PID" 2>/dev/null || true; fi
}

# The byte at physical address $1 of board file $2 (default $BOARD), as two
# lower-case hex digits.
peek() {
  od -An -tx1 -j "$1" -N 1 "${2:-$BOARD}" | tr -d ' \n'
}

# Stores byte $2 (0x.. or decimal) at physical address $1 of board $3
# (default $BOARD), as the outside world or a probe would.
poke() {
  printf "$(printf '\\%03o' "$(($2))")" |
    dd of="${3:-$BOARD}" bs=1 seek="$1" conv=notrunc status=none
}

# Sets input DIn (n = $1) of board $3 (default $BOARD) to level $2
# (1 = active), as the outside world would, with dio-sim ($DIO_SIM).
set_input() {
  run_prog "${DIO_SIM:?DIO_SIM must name dio-sim}" --board "${3:-$BOARD}" inputs "DI$1=$2" >/dev/null
}

# A digest of both register pages of board $1 (default $BOARD): compare two
# to show that nothing was written.
board_digest() {
  local file=${1:-$BOARD}
  { dd if="$file" bs=4096 skip="$GPIO_PAGE" iflag=skip_bytes count=1 status=none
    dd if="$file" bs=4096 skip="$LED_PAGE" iflag=skip_bytes count=1 status=none; } | sha256sum
}

# Fails the test unless $output is exactly $1, showing both.
output_is() {
  if [ "$output" != "$1" ]; then
    printf 'expected output:\n%s\nactual output:\n%s\n' "$1" "$output" >&2
    return 1
  fi
}

# Fails the test unless status is $1, showing the output.
status_is() {
  if [ "$status" -ne "$1" ]; then
    printf 'expected status %s, got %s; output:\n%s\n' "$1" "$status" "$output" >&2
    return 1
  fi
}
