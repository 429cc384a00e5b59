# dioctl counters and info through the board service: the inputs' edges,
# frequencies, on-times and latches as the service's sampler keeps them, in
# a table and as JSON, cleared by kind and by input; and what a board
# opened directly says instead.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() { setup_boards; }
teardown() { [ -z "${SERVICE_PID:-}" ] || kill "$SERVICE_PID" 2>/dev/null || true; }

# Sets inputs as the outside world would, all in one go: set_inputs DI1=1 DI5=0
set_inputs() {
  run_prog "$DIO_SIM" --board "$BOARD" inputs "$@" >/dev/null
}

# counters --json on stdin, checked object by object for its keys in
# order and its integers, as one word per input: "DI1=RISING,FALLING,ROSE,FELL"
# ("DI1=2,1,true,true"). The figures of each are in FIGURES[DIn:KEY].
summarize() {
  local object words=()
  unset FIGURES
  declare -gA FIGURES
  while IFS= read -r object; do
    [[ "$object" =~ ^\{\"line\":\"(DI[0-7])\",\"rising\":([0-9]+),\"falling\":([0-9]+),\"frequency_mhz\":([0-9]+),\"on_time_ms\":([0-9]+),\"rose\":(true|false),\"fell\":(true|false)\}$ ]] ||
      { echo "not an input's figures: $object" >&2; return 1; }
    local name=${BASH_REMATCH[1]}
    FIGURES[$name:frequency_mhz]=${BASH_REMATCH[4]}
    FIGURES[$name:on_time_ms]=${BASH_REMATCH[5]}
    words+=("$name=${BASH_REMATCH[2]},${BASH_REMATCH[3]},${BASH_REMATCH[6]},${BASH_REMATCH[7]}")
  done
  SUMMARY="${words[*]}"
}

# Waits, at most 20 s, until the service's figures summarized hold every
# word given ("DI1=1,0,true,false"); FIGURES and SUMMARY as then.
wait_for_figures() {
  local i word
  for ((i = 0; i < 400; i++)); do
    summarize < <(through_service counters --json) || return 1
    for word in "$@"; do [[ " $SUMMARY " == *" $word "* ]] || continue 2; done
    return 0
  done
  echo "not reached: $* in $SUMMARY" >&2
  return 1
}

# DI1 up and down, DI2 up, down and up again, DI5 up (and left so): each
# step seen by the service before the next. DI2's rising edges are at
# least 200 ms apart: its frequency is below 5 Hz.
make_edges() {
  set_inputs DI1=1 DI2=1 DI5=1
  wait_for_figures DI1=1,0,true,false DI2=1,0,true,false DI5=1,0,true,false
  sleep 0.2
  set_inputs DI1=0 DI2=0
  wait_for_figures DI1=1,1,true,true DI2=1,1,true,true
  set_inputs DI2=1
  wait_for_figures DI2=2,1,true,true
}

# An on-time in milliseconds as the table shows it, h:mm:ss.mmm.
on_time_text() {
  printf '%d:%02d:%02d.%03d' $(($1 / 3600000)) $(($1 / 60000 % 60)) $(($1 / 1000 % 60)) $(($1 % 1000))
}

@test "counters: every input's edges, frequency, on-time and latches, as a table and as JSON" {
  start_board_service --frequency-window 20s
  started=$(date +%s%3N)
  make_edges
  set_inputs DI2=0
  wait_for_figures DI2=2,2,true,true

  run -0 through_service counters --json
  summarize <<<"$output"
  [ "$SUMMARY" = "DI0=0,0,false,false DI1=1,1,true,true DI2=2,2,true,true DI3=0,0,false,false DI4=0,0,false,false DI5=1,0,true,false DI6=0,0,false,false DI7=0,0,false,false" ]
  # Two rising edges of DI2 within the window give a frequency; one or
  # none, 0.
  mhz=${FIGURES[DI2:frequency_mhz]}
  [ "$mhz" -gt 0 ] && [ "$mhz" -lt 5000 ]
  for n in 0 1 3 4 5 6 7; do [ "${FIGURES[DI$n:frequency_mhz]}" -eq 0 ]; done
  elapsed=$(($(date +%s%3N) - started))
  for n in 1 2 5; do
    [ "${FIGURES[DI$n:on_time_ms]}" -gt 0 ] && [ "${FIGURES[DI$n:on_time_ms]}" -le "$elapsed" ]
  done
  for n in 0 3 4 6 7; do [ "${FIGURES[DI$n:on_time_ms]}" -eq 0 ]; done

  # The table: the inputs named, in line order, once each. DI1's and DI2's
  # figures no longer change; DI5's on-time grows.
  run -0 through_service counters DI5 di2 DI1 DI2
  [ "${#lines[@]}" -eq 4 ]
  [ "${lines[0]}" = "LINE  RISING  FALLING  FREQUENCY      ON-TIME  LATCHES" ]
  [ "${lines[1]}" = "DI1        1        1   0.000 Hz  $(on_time_text "${FIGURES[DI1:on_time_ms]}")  rose fell" ]
  [ "${lines[2]}" = "DI2        2        2   $((mhz / 1000)).$(printf %03d $((mhz % 1000))) Hz  $(on_time_text "${FIGURES[DI2:on_time_ms]}")  rose fell" ]
  [[ "${lines[3]}" =~ ^"DI5        1        0   0.000 Hz  0:0"[0-9]:[0-5][0-9]\.[0-9]{3}"  rose"$ ]]
  run -0 through_service counters
  [ "${#lines[@]}" -eq 9 ]
  [ "${lines[8]}" = "DI7        0        0   0.000 Hz  0:00:00.000  -" ]
  run -0 through_service counters DI
  [ "${#lines[@]}" -eq 9 ]
}

@test "counters --clear: counts, latches, on-time, of the inputs named or of all, for every client" {
  start_board_service
  make_edges
  set_inputs DI2=0
  wait_for_figures DI2=2,2,true,true

  # The inputs may come after --clear as well as before it.
  run -0 through_service counters --clear latches DI2
  output_is "cleared latches of DI2"
  wait_for_figures DI2=2,2,false,false DI1=1,1,true,true
  [ "${FIGURES[DI2:on_time_ms]}" -gt 0 ]

  run -0 through_service counters --clear on-time --clear counts
  output_is "cleared counts and on-time of DI0..DI7"
  wait_for_figures DI1=0,0,true,true DI2=0,0,false,false DI5=0,0,true,false
  [ "${FIGURES[DI1:on_time_ms]}" -eq 0 ] && [ "${FIGURES[DI2:on_time_ms]}" -eq 0 ]
  [[ "$SUMMARY" =~ ^(DI[0-7]=0,0,(true|false),(true|false) ?){8}$ ]]  # every input's counts

  set_inputs DI1=1
  wait_for_figures DI1=1,0,true,true
  run -0 through_service counters di5 --clear latches,counts --clear on-time DI1
  output_is "cleared counts, latches and on-time of DI1 and DI5"
  wait_for_figures DI1=0,0,false,false DI5=0,0,false,false DI2=0,0,false,false
  # DI1 and DI5 are active: their on-times grow again from 0.
  [ "${FIGURES[DI1:on_time_ms]}" -lt 5000 ] && [ "${FIGURES[DI5:on_time_ms]}" -lt 5000 ]
}

@test "counters on a board opened directly: status 1, saying the board service keeps them; info shows no sampler" {
  before=$(board_digest)
  for words in "counters" "counters DI3 --json" "counters --clear counts"; do
    # shellcheck disable=SC2086 # the verb and its options as words
    run dioctl $words
    status_is 1
    output_is "dioctl: $BOARD: input counters are kept by the board service (dio-boardd), and a device opened directly has none: run the service on the board and give its socket with --device (/run/varnik-dio/board.sock)"
  done
  [ "$(board_digest)" = "$before" ]
  run -0 dioctl info
  [ "${#lines[@]}" -eq 21 ]
  [ "${lines[20]}" = "DEVICE $BOARD: board file" ]
}

@test "info through the service: the sampler's interval, samples, late samples and realtime, each input's debounce" {
  start_board_service --debounce 5ms --debounce DI3=20ms --frequency-window 2s
  # The service held still for 50 ms: a sample that late at least.
  kill -STOP "$SERVICE_PID"
  sleep 0.05
  kill -CONT "$SERVICE_PID"
  for ((i = 0; i < 100; i++)); do
    run -0 through_service info
    [[ "${lines[21]}" != *" 0 late" ]] && break
  done
  [ "${#lines[@]}" -eq 23 ]
  [ "${lines[20]}" = "DEVICE $SOCKET: board service" ]
  [[ "${lines[21]}" =~ ^"SAMPLER: every 1ms, realtime no, frequency window 2s; "[0-9]+" samples, "[1-9][0-9]*" late, the worst "([0-9]+)\.[0-9]{3}"ms after its time"$ ]]
  [ "${BASH_REMATCH[1]}" -ge 40 ]
  [ "${lines[22]}" = "DEBOUNCE: DI0 5ms, DI1 5ms, DI2 5ms, DI3 20ms, DI4 5ms, DI5 5ms, DI6 5ms, DI7 5ms" ]
}
