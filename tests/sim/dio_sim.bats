#!/usr/bin/env bats
# dio-sim, the simulated board's tool, from the outside: every subcommand
# and option, exact output and exit status, each test on a fresh board.
# ctest passes DIO_SIM, SAMPLE, RUN_PROBE, STATIC_PROBE, VARNIK_VERSION and
# VARNIK_WORD_SIZE (32 or 64) besides what tool_helpers.bash needs.

bats_require_minimum_version 1.5.0
load ../common/tool_helpers

readonly DI0=$((0xFDAE06A8))
readonly DO0=$((0xFDAE04E8))

setup() {
  setup_boards
  FRESH_DIGEST=$(board_digest)
  export FRESH_DIGEST
}

# Byte $1 of input DIn ($1 = n) on board $2 (default $BOARD).
input_byte() {
  peek $((DI0 + 8 * $1)) "${2:-$BOARD}"
}

# The eight input register bytes of board $1 (default $BOARD), DI0 first,
# on one line.
input_bytes() {
  local n bytes=()
  for n in 0 1 2 3 4 5 6 7; do bytes+=("$(input_byte "$n" "${1:-$BOARD}")"); done
  echo "${bytes[*]}"
}

# Fails unless $BOARD is byte for byte as the test found it.
board_unchanged() {
  [ "$(board_digest)" = "$FRESH_DIGEST" ] || {
    echo "the board was written" >&2
    return 1
  }
}

# An ELF header of $1 bits for machine number $2 with one program header
# (PT_INTERP, so it looks dynamically linked), written to $3: enough for
# dio-sim to judge a program of a word size no build here can run.
write_elf_header() {
  local bits=$1 machine=$2 file=$3
  local m
  m=$(printf '\\x%02x' "$machine")
  if [ "$bits" = 64 ]; then
    printf '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$file"
    printf "\\x02\\x00${m}\\x00\\x01\\x00\\x00\\x00" >>"$file"
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x00\x00\x00\x00\x00\x00' >>"$file"
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x38\x00' >>"$file"
    printf '\x01\x00\x00\x00\x00\x00\x00\x00' >>"$file"
    printf '\x03\x00\x00\x00' >>"$file"
    head -c 52 /dev/zero >>"$file"
  else
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$file"
    printf "\\x02\\x00${m}\\x00\\x01\\x00\\x00\\x00" >>"$file"
    printf '\x00\x00\x00\x00\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00' >>"$file"
    printf '\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00' >>"$file"
    printf '\x03\x00\x00\x00' >>"$file"
    head -c 28 /dev/zero >>"$file"
  fi
  chmod +x "$file"
}

other_word_size() {
  [ "$VARNIK_WORD_SIZE" = 64 ] && echo 32 || echo 64
}

x86_machine_of() {
  [ "$1" = 64 ] && echo 62 || echo 3
}

# --- version and help ---------------------------------------------------------

@test "--version prints the product version" {
  run run_prog "$DIO_SIM" --version
  status_is 0
  output_is "dio-sim $VARNIK_VERSION"
}

@test "--help describes dio-sim and each subcommand" {
  run run_prog "$DIO_SIM" --help
  status_is 0
  [[ "$output" == *"Usage: "*"dio-sim [OPTIONS] SUBCOMMAND"* ]]
  local sub top=$output
  for sub in new path inputs run; do
    [[ "$top" == *"
  $sub "* ]]
    run run_prog "$DIO_SIM" "$sub" --help
    status_is 0
    [[ "$output" == *"Usage: "*"dio-sim $sub"* ]]
  done
  run run_prog "$DIO_SIM" run --help
  [[ "$output" == *"--trace FILE"* && "$output" == *"--fail CALL:ERRNO[:NTH]"* ]]
}

@test "usage errors end with status 2, name the bad word and leave the board alone" {
  local args
  for args in "" "bogus" "--board" "new extra" "path extra" "inputs" "run" \
    "run --trace" "--zork new" "new --board $BOARD"; do
    # shellcheck disable=SC2086 # each case is words
    run run_prog "$DIO_SIM" --board "$BOARD" $args
    status_is 2
    [ "${#lines[@]}" -eq 1 ]
    [[ "$output" == "dio-sim: "* ]]
  done
  run run_prog "$DIO_SIM" bogus
  output_is 'dio-sim: "bogus" is not a subcommand or option of dio-sim: give new, path, inputs or run (see dio-sim --help)'
  run run_prog "$DIO_SIM" --board "" path
  status_is 2
  output_is "dio-sim: --board needs a file name, not an empty one"
  board_unchanged
}

# --- path and the default board -------------------------------------------------

@test "path prints the board named by --board, made absolute, and makes nothing" {
  run run_prog "$DIO_SIM" --board /some/where/b.img path
  status_is 0
  output_is "/some/where/b.img"
  cd "$BATS_TEST_TMPDIR"
  run run_prog "$DIO_SIM" --board rel/b.img path
  output_is "$BATS_TEST_TMPDIR/rel/b.img"
  [ ! -e "$BATS_TEST_TMPDIR/rel" ]
  to_full_disk() { run_prog "$@" >/dev/full; }
  run to_full_disk "$DIO_SIM" --board /some/where/b.img path
  status_is 1
  output_is "dio-sim: cannot write the output: No space left on device"
}

@test "the default board is VARNIK_SIM_BOARD, then XDG_STATE_HOME, then ~/.local/state" {
  run run_prog "$DIO_SIM" path
  output_is "$THROWAWAY_BOARD"
  XDG_STATE_HOME="$BATS_TEST_TMPDIR/state" run run_prog_without_board_variable "$DIO_SIM" path
  status_is 0
  output_is "$BATS_TEST_TMPDIR/state/varnik_dio/board.img"
  # Empty, relative or unset, XDG_STATE_HOME gives way to the home folder.
  local xdg
  for xdg in "" relative/state unset; do
    [ "$xdg" = unset ] && unset XDG_STATE_HOME || export XDG_STATE_HOME="$xdg"
    HOME="$BATS_TEST_TMPDIR/home" run run_prog_without_board_variable "$DIO_SIM" path
    output_is "$BATS_TEST_TMPDIR/home/.local/state/varnik_dio/board.img"
  done
  [ ! -e "$BATS_TEST_TMPDIR/state" ] && [ ! -e "$BATS_TEST_TMPDIR/home" ]
}

@test "new on the default board makes its folders, private to the user" {
  XDG_STATE_HOME="$BATS_TEST_TMPDIR/state" run run_prog_without_board_variable "$DIO_SIM" new
  status_is 0
  output_is ""
  local made="$BATS_TEST_TMPDIR/state/varnik_dio/board.img"
  [ "$(board_digest "$made")" = "$FRESH_DIGEST" ]
  [ "$(stat -c %a "$BATS_TEST_TMPDIR/state")" = 700 ]
  [ "$(stat -c %a "$BATS_TEST_TMPDIR/state/varnik_dio")" = 700 ]
}

# --- new ------------------------------------------------------------------------

@test "new makes a fresh sparse board of 4 GiB where there is none" {
  local made="$BATS_TEST_TMPDIR/new.img"
  run run_prog "$DIO_SIM" --board "$made" new
  status_is 0
  output_is ""
  [ "$(stat -c %s "$made")" = "$BOARD_SIZE" ]
  [ "$(stat -c %b "$made")" -lt 1024 ]
  [ "$(board_digest "$made")" = "$FRESH_DIGEST" ]
  [ "$(peek $((GPIO_PAGE - 1)) "$made")" = 00 ]
}

@test "new resets an existing board in place, the same file" {
  poke "$DO0" 0x00
  poke $((LED_PAGE + 0x4A8)) 0x00
  poke "$DI0" 0x00
  poke 4096 0x55
  local inode
  inode=$(stat -c %i "$BOARD")
  run run_prog "$DIO_SIM" --board "$BOARD" new
  status_is 0
  board_unchanged
  [ "$(peek 4096)" = 00 ]
  [ "$(stat -c %i "$BOARD")" = "$inode" ]
}

@test "new refuses a file that is not a board and leaves it alone" {
  local other="$BATS_TEST_TMPDIR/notes.txt"
  echo "twelve bytes" >"$other"
  run run_prog "$DIO_SIM" --board "$other" new
  status_is 2
  output_is "dio-sim: board file \"$other\" is not a board: a regular file of 4294967296 bytes is expected, this one has 13 bytes; dio-sim leaves it alone: remove it or name another file with --board"
  [ "$(cat "$other")" = "twelve bytes" ]
  run run_prog "$DIO_SIM" --board "$BATS_TEST_TMPDIR" new
  status_is 2
  [[ "$output" == *"this one is a directory;"* ]]
  # A symbolic link to nothing is no board made by another program.
  ln -s "$BATS_TEST_TMPDIR/nowhere" "$BATS_TEST_TMPDIR/link.img"
  run run_prog "$DIO_SIM" --board "$BATS_TEST_TMPDIR/link.img" new
  status_is 2
  output_is "dio-sim: board file \"$BATS_TEST_TMPDIR/link.img\" is a symbolic link to \"$BATS_TEST_TMPDIR/nowhere\", which does not exist; dio-sim leaves it alone: remove it or name another file with --board"
  [ ! -e "$BATS_TEST_TMPDIR/nowhere" ]
}

@test "new into a folder that does not exist fails with status 1, naming the file" {
  run run_prog "$DIO_SIM" --board "$BATS_TEST_TMPDIR/none/b.img" new
  status_is 1
  output_is "dio-sim: cannot create board file \"$BATS_TEST_TMPDIR/none/b.img\": No such file or directory"
}

# --- inputs -----------------------------------------------------------------------

@test "inputs NAME=LEVEL sets the sensed bit, active-low, in any spelling" {
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI0=1 di1=ON Di2=active DI3=0 DI4=off DI5=Inactive
  status_is 0
  output_is ""
  [ "$(input_bytes)" = "01 01 01 03 03 03 03 03" ]
  # Setting an input again, or the other way, changes only what is named.
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI0=0 DI7=1
  status_is 0
  [ "$(input_bytes)" = "03 01 01 03 03 03 03 01" ]
}

@test "inputs leaves the other bits of each input register alone" {
  poke "$DI0" 0xf3
  poke $((DI0 + 8)) 0x04
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI0=1 DI1=0
  status_is 0
  [ "$(input_byte 0)" = f1 ]
  [ "$(input_byte 1)" = 06 ]
  # Nothing but the input registers changes.
  poke "$DI0" 0x03
  poke $((DI0 + 8)) 0x03
  board_unchanged
}

@test "inputs MASK sets all eight, bit n for DIn, in hex or decimal" {
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 0x3c
  status_is 0
  [ "$(input_bytes)" = "03 03 01 01 01 01 03 03" ]
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 129
  [ "$(input_bytes)" = "01 03 03 03 03 03 03 01" ]
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 0XFF
  [ "$(input_bytes)" = "01 01 01 01 01 01 01 01" ]
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 0
  board_unchanged
}

@test "inputs refuses a bad word with status 2, naming it, before writing anything" {
  local bad
  for bad in DI8=1 DO0=1 DI=1 DI0 =1 DI0=2 DI0= DI0=yes "DI0=1 DI0=0" "DI0=1 0x3c" \
    "0x3c 0x01" 0x100 256 0x 0xg1 -1; do
    # shellcheck disable=SC2086 # each case is words
    run run_prog "$DIO_SIM" --board "$BOARD" inputs DI1=1 $bad
    status_is 2
    [ "${#lines[@]}" -eq 1 ]
    board_unchanged
  done
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI1=1 DI8=1
  output_is 'dio-sim: inputs: "DI8=1" names no input: the inputs are DI0 to DI7'
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI0=2
  output_is 'dio-sim: inputs: "DI0=2" has no level: give 0, 1, on, off, active or inactive'
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 0x100
  output_is 'dio-sim: inputs: "0x100" is neither NAME=LEVEL nor a mask of the eight inputs (0x00 to 0xff)'
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI0=1 0x3c
  output_is 'dio-sim: inputs: "0x3c" is not NAME=LEVEL (a mask must be the only argument)'
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI3=1 di3=1
  output_is 'dio-sim: inputs: "di3=1" sets an input that is already set'
}

@test "inputs makes a missing board first and refuses a file that is not one" {
  local made="$BATS_TEST_TMPDIR/made.img"
  run run_prog "$DIO_SIM" --board "$made" inputs DI2=1
  status_is 0
  [ "$(input_bytes "$made")" = "03 03 01 03 03 03 03 03" ]
  [ "$(peek "$DO0" "$made")" = 03 ]
  printf 'short' >"$BATS_TEST_TMPDIR/short"
  run run_prog "$DIO_SIM" --board "$BATS_TEST_TMPDIR/short" inputs DI2=1
  status_is 2
  [[ "$output" == *'"'"$BATS_TEST_TMPDIR/short"'" is not a board'*"this one has 5 bytes"* ]]
  [ "$(cat "$BATS_TEST_TMPDIR/short")" = short ]
}

# --- run: what the program is given -----------------------------------------------

@test "run gives the program the board, the preload first, and its exit status" {
  local made="$BATS_TEST_TMPDIR/made.img"
  run run_prog "$DIO_SIM" --board "$made" run -- "$RUN_PROBE" 7 access
  status_is 7
  output_is "library=$VARNIK_SIM_LIBRARY
board=$made
trace=(unset)
fail=(unset)
preload=$VARNIK_SIM_LIBRARY:$VARNIK_SIM_LIBRARY
args=$RUN_PROBE|7|access|
DI0 register byte 0x03"
  [ "$(board_digest "$made")" = "$FRESH_DIGEST" ]
}

@test "run finds the command on PATH and passes its arguments as they are" {
  mkdir "$BATS_TEST_TMPDIR/bin"
  cp "$RUN_PROBE" "$BATS_TEST_TMPDIR/bin/probe"
  poke "$DI0" 0x00
  PATH="$BATS_TEST_TMPDIR/bin:$PATH" run run_prog "$DIO_SIM" --board "$BOARD" run -- probe 0 access
  status_is 0
  [ "${lines[5]}" = "args=probe|0|access|" ]
  [ "${lines[6]}" = "DI0 register byte 0x00" ]
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$RUN_PROBE" 5 'a b' --trace ''
  status_is 5
  [ "${lines[5]}" = "args=$RUN_PROBE|5|a b|--trace||" ]
}

@test "run --trace and --fail reach the board, and inherited settings do not" {
  local trace="$BATS_TEST_TMPDIR/trace"
  VARNIK_SIM_FAIL=open:1 VARNIK_SIM_TRACE="$BATS_TEST_TMPDIR/other" \
    run run_prog "$DIO_SIM" --board "$BOARD" run -- "$RUN_PROBE" 0 access
  status_is 0
  [ "${lines[2]}" = "trace=(unset)" ]
  [ "${lines[3]}" = "fail=(unset)" ]
  # dio-sim's own test preload opens that trace, but traces no device call.
  [ ! -s "$BATS_TEST_TMPDIR/other" ]
  # The board library's default device is the board's, not a board service.
  # (printenv is the machine's: a 64-bit program, which the i386 build's
  # simulated board cannot reach, so only where the build is the machine's.)
  if [ -z "${VARNIK_TEST_LAUNCHER:-}" ]; then
    VARNIK_DIO_DEVICE=/run/elsewhere.sock run run_prog "$DIO_SIM" --board "$BOARD" run -- printenv VARNIK_DIO_DEVICE
    status_is 0
    output_is /dev/mem
  fi

  cd "$BATS_TEST_TMPDIR"
  run run_prog "$DIO_SIM" --board "$BOARD" run --trace trace --fail mmap:12 -- "$RUN_PROBE" 0 access
  status_is 4
  [ "${lines[2]}" = "trace=$trace" ]
  [ "${lines[3]}" = "fail=mmap:12" ]
  [ "${lines[6]}" = "mmap error=12" ]
  [ "$(cat "$trace")" = "open flags=0x101002 pending=0
mmap length=4096 prot=0x3 flags=0x1 offset=0xfdae0000 pending=0 error=12
close pending=0" ]
}

@test "run refuses bad --fail and --trace with status 2, running nothing, making no board" {
  local made="$BATS_TEST_TMPDIR/made.img" bad
  for bad in x mmap mmap:0 mmap:4096 read:5 mmap:1:0 mmap:1:4294967296; do
    run run_prog "$DIO_SIM" --board "$made" run --fail "$bad" -- "$RUN_PROBE" 9
    status_is 2
    output_is "dio-sim: run: --fail \"$bad\" is not call:errno[:nth] with call open, mmap or munmap, errno 1..4095 and nth 1..4294967295 (decimal)"
  done
  run run_prog "$DIO_SIM" --board "$made" run --trace "$BATS_TEST_TMPDIR/none/t" -- "$RUN_PROBE" 9
  status_is 2
  output_is "dio-sim: run: --trace \"$BATS_TEST_TMPDIR/none/t\" cannot be opened for appending: No such file or directory"
  [ ! -e "$made" ]
  # The widest fault is accepted.
  run run_prog "$DIO_SIM" --board "$made" run --fail open:4095:4294967295 -- "$RUN_PROBE" 9
  status_is 9
  [ "${lines[3]}" = "fail=open:4095:4294967295" ]
}

# A FIFO would block the program at its start until a reader came, and a
# second open of it would block after the first one's reader had gone.
@test "a trace that is not a regular file is refused at once, by run and by the board, reader or not" {
  local fifo="$BATS_TEST_TMPDIR/fifo"
  mkfifo "$fifo"
  run run_prog_bounded 10 "$DIO_SIM" --board "$BOARD" run --trace "$fifo" -- "$RUN_PROBE" 0 access
  status_is 2
  output_is "dio-sim: run: --trace \"$fifo\" is a FIFO, not a regular file: the trace must be one"
  cat "$fifo" >"$BATS_TEST_TMPDIR/read" &
  local reader=$!
  run run_prog_bounded 10 "$DIO_SIM" --board "$BOARD" run --trace "$fifo" -- "$RUN_PROBE" 0 access
  status_is 2
  VARNIK_SIM_TRACE="$fifo" run run_prog_bounded 10 "$RUN_PROBE" 0 access
  status_is 2
  output_is "varnik_dio_sim: VARNIK_SIM_TRACE=\"$fifo\" is a FIFO, not a regular file: a trace must be one; fix or unset it"
  # The reader, never written to, ends when a writer comes and goes.
  timeout 10 sh -c ': >"$1"' - "$fifo"
  wait "$reader"
  [ ! -s "$BATS_TEST_TMPDIR/read" ]
  run run_prog "$DIO_SIM" --board "$BOARD" run --trace "$BATS_TEST_TMPDIR" -- "$RUN_PROBE" 0
  status_is 2
  output_is "dio-sim: run: --trace \"$BATS_TEST_TMPDIR\" is a directory, not a regular file: the trace must be one"
  board_unchanged
}

@test "run refuses a board file that is not a board, running nothing" {
  printf 'short' >"$BATS_TEST_TMPDIR/short"
  run run_prog "$DIO_SIM" --board "$BATS_TEST_TMPDIR/short" run -- "$RUN_PROBE" 9
  status_is 2
  [[ "$output" == "dio-sim: board file \"$BATS_TEST_TMPDIR/short\" is not a board: "* ]]
}

@test "run names a missing or unrunnable command with the shell's statuses 127 and 126" {
  run -127 run_prog "$DIO_SIM" --board "$BOARD" run -- no-such-program-here
  status_is 127
  output_is 'dio-sim: run: no program "no-such-program-here" on PATH'
  run -127 run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/none"
  status_is 127
  printf 'plain text\n' >"$BATS_TEST_TMPDIR/text"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/text"
  status_is 126
  output_is "dio-sim: run: cannot run \"$BATS_TEST_TMPDIR/text\": Permission denied"
  chmod +x "$BATS_TEST_TMPDIR/text"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/text"
  status_is 126
  output_is "dio-sim: run: cannot run \"$BATS_TEST_TMPDIR/text\": it is neither an ELF program nor a #! script"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR"
  status_is 126
}

# --- run: programs a preload cannot reach are refused --------------------------------

# Fails unless the last run was refused with status 2 and one line naming
# $1 and saying $2, the program having not run (it would print "library=").
refused_for() {
  status_is 2
  [ "${#lines[@]}" -eq 1 ]
  [[ "$output" == "dio-sim: run: \"$1\" $2"* ]] || {
    echo "not refused as expected: $output" >&2
    return 1
  }
}

@test "run refuses a statically linked program, also behind a #! line" {
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$STATIC_PROBE"
  refused_for "$STATIC_PROBE" "is statically linked: the simulated board is a preload, which only dynamically linked programs load"
  printf '#!%s\n' "$STATIC_PROBE" >"$BATS_TEST_TMPDIR/script"
  chmod +x "$BATS_TEST_TMPDIR/script"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/script"
  refused_for "$STATIC_PROBE" "is statically linked"
  # A script for a dynamically linked interpreter runs.
  printf '#! %s 6\n' "$RUN_PROBE" >"$BATS_TEST_TMPDIR/script"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/script"
  status_is 6
  board_unchanged
}

@test "run refuses a script started through env, and leaves no trace file when it refuses" {
  printf '#!/usr/bin/env %s\n' "$RUN_PROBE" >"$BATS_TEST_TMPDIR/script"
  chmod +x "$BATS_TEST_TMPDIR/script"
  run run_prog "$DIO_SIM" --board "$BOARD" run --trace "$BATS_TEST_TMPDIR/trace" -- "$BATS_TEST_TMPDIR/script"
  refused_for "$BATS_TEST_TMPDIR/script" "is started by env (its #! line)"
  [ ! -e "$BATS_TEST_TMPDIR/trace" ]
  board_unchanged
}

# The loader splits LD_PRELOAD at spaces: a program would run with no board.
@test "run refuses a preload whose path LD_PRELOAD cannot carry" {
  local folder="$BATS_TEST_TMPDIR/with space"
  mkdir -p "$folder"
  cp "$DIO_SIM" "$VARNIK_SIM_LIBRARY" "$folder/"
  run run_prog "$folder/dio-sim" --board "$BOARD" run -- "$RUN_PROBE" 0
  status_is 2
  [[ "$output" == *"has a space or colon in its path"* ]]
  board_unchanged
}

@test "run refuses set-user-ID and set-group-ID programs" {
  local copy="$BATS_TEST_TMPDIR/probe"
  cp "$RUN_PROBE" "$copy"
  chmod u+s "$copy"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$copy" 0
  refused_for "$copy" "is set-user-ID: the loader ignores LD_PRELOAD for such a program"
  chmod u-s,g+s "$copy"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$copy" 0
  refused_for "$copy" "is set-group-ID"
  # Without the bits, the same copy runs.
  chmod g-s "$copy"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$copy" 0
  status_is 0
}

@test "run refuses a program with file capabilities" {
  command -v setcap >/dev/null ||
    skip "setcap is not installed (Debian: libcap2-bin), so no program with file capabilities can be made"
  local copy="$BATS_TEST_TMPDIR/probe"
  cp "$RUN_PROBE" "$copy"
  setcap cap_net_raw+ep "$copy" 2>/dev/null ||
    skip "setcap cannot give $copy a capability here (needs CAP_SETFCAP and a file system with extended attributes)"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$copy" 0
  refused_for "$copy" "has file capabilities (security.capability): the loader ignores LD_PRELOAD"
}

@test "run refuses a program of the word size no board is built for, or for another machine" {
  local other
  other=$(other_word_size)
  write_elf_header "$other" "$(x86_machine_of "$other")" "$BATS_TEST_TMPDIR/other"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/other"
  refused_for "$BATS_TEST_TMPDIR/other" "is a $other-bit program, and no $other-bit simulated board is in this build tree (its $VARNIK_SIM_LIBRARY is $VARNIK_WORD_SIZE-bit)"
  write_elf_header 64 183 "$BATS_TEST_TMPDIR/arm"
  run run_prog "$DIO_SIM" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/arm"
  refused_for "$BATS_TEST_TMPDIR/arm" "is a 64-bit program for another machine (ELF machine 183), not for x86"
}

# --- run: installed beside a prefix --------------------------------------------------

# An installed layout under $1: PREFIX/bin/dio-sim and this build's board
# in its folder below where its word size's loader expands $LIB.
install_layout() {
  local prefix=$1 folder
  for folder in lib/x86_64-linux-gnu lib/i386-linux-gnu lib32; do
    mkdir -p "$prefix/$folder/varnik_dio"
  done
  mkdir -p "$prefix/bin"
  cp "$DIO_SIM" "$prefix/bin/dio-sim"
  if [ "$VARNIK_WORD_SIZE" = 64 ]; then
    cp "$VARNIK_SIM_LIBRARY" "$prefix/lib/x86_64-linux-gnu/varnik_dio/"
  else
    cp "$VARNIK_SIM_LIBRARY" "$prefix/lib/i386-linux-gnu/varnik_dio/"
    ln -s ../../lib/i386-linux-gnu/varnik_dio/libvarnik_dio_sim.so "$prefix/lib32/varnik_dio/"
  fi
}

# The library file of the other word size: only its presence is looked
# at, as no program of that size runs here.
add_other_word_size() {
  local prefix=$1
  if [ "$VARNIK_WORD_SIZE" = 64 ]; then
    : >"$prefix/lib/i386-linux-gnu/varnik_dio/libvarnik_dio_sim.so"
    ln -s ../../lib/i386-linux-gnu/varnik_dio/libvarnik_dio_sim.so "$prefix/lib32/varnik_dio/"
  else
    : >"$prefix/lib/x86_64-linux-gnu/varnik_dio/libvarnik_dio_sim.so"
  fi
}

@test "installed, run preloads its own word size's board, or both through \$LIB" {
  local prefix="$BATS_TEST_TMPDIR/prefix" own_lib other
  install_layout "$prefix"
  run run_prog "$prefix/bin/dio-sim" --board "$BOARD" run -- "$RUN_PROBE" 0
  status_is 0
  if [ "$VARNIK_WORD_SIZE" = 64 ]; then own_lib=lib/x86_64-linux-gnu; else own_lib=lib/i386-linux-gnu; fi
  [ "${lines[4]}" = "preload=$prefix/$own_lib/varnik_dio/libvarnik_dio_sim.so:$VARNIK_SIM_LIBRARY" ]
  other=$(other_word_size)
  write_elf_header "$other" "$(x86_machine_of "$other")" "$BATS_TEST_TMPDIR/other"
  run run_prog "$prefix/bin/dio-sim" --board "$BOARD" run -- "$BATS_TEST_TMPDIR/other"
  refused_for "$BATS_TEST_TMPDIR/other" "is a $other-bit program, and no $other-bit simulated board is installed at $prefix/"

  add_other_word_size "$prefix"
  run run_prog "$prefix/bin/dio-sim" --board "$BOARD" run -- "$RUN_PROBE" 0 access
  status_is 0
  # The loader found this word size's board through $LIB, ahead of the
  # test launcher's own preload.
  [[ "${lines[0]}" == "library=$prefix/lib"* ]]
  [ "${lines[4]}" = "preload=$prefix/\$LIB/varnik_dio/libvarnik_dio_sim.so:$VARNIK_SIM_LIBRARY" ]
  [ "${lines[6]}" = "DI0 register byte 0x03" ]
}

# --- run: Sample, end to end ------------------------------------------------------------

# The lines Sample flushes in its first 5 seconds: the first phase, with
# the inputs it senses. (Its last lines wait in its buffer when it is
# ended; every register access flushes what came before.)
first_phase() {
  printf 'LED Read: 7\nWrite to 0x00 to DO\nDO Read: 0\nDI Read: %s' "$1"
}

@test "run -- Sample runs the unmodified program on the board" {
  run run_prog "$DIO_SIM" --board "$BOARD" inputs 0xa5
  run run_prog_bounded 5 "$DIO_SIM" --board "$BOARD" run -- "$SAMPLE"
  status_is 124
  [ "$(printf '%s\n' "${lines[@]:0:4}")" = "$(first_phase a5)" ]
  # At 4 s the second phase has driven every output and darkened the LEDs.
  [ "$(peek "$DO0")" = 00 ]
  [ "$(peek $((LED_PAGE + 0x4A8)))" = 01 ]
}

@test "two programs attached to one board see each other's board and the inputs set meanwhile" {
  local out="$BATS_TEST_TMPDIR"
  run_prog_bounded 5 "$DIO_SIM" --board "$BOARD" run -- "$SAMPLE" >"$out/a" 2>&1 &
  local a=$!
  run_prog_bounded 5 "$DIO_SIM" --board "$BOARD" run -- "$SAMPLE" >"$out/b" 2>&1 &
  local b=$!
  sleep 1
  run run_prog "$DIO_SIM" --board "$BOARD" inputs DI1=1 DI6=on
  status_is 0
  wait "$a" || [ $? -eq 124 ]
  wait "$b" || [ $? -eq 124 ]
  [ "$(head -n 4 "$out/a")" = "$(first_phase 42)" ]
  [ "$(head -n 4 "$out/b")" = "$(first_phase 42)" ]
}
