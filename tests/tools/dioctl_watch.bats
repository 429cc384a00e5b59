# dioctl watch and wait, with inputs flipped by another process while they
# run. Every run is bounded by a timeout; margins are wide for slow CI.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() { setup_boards; }
teardown() { stop_spawned; }

EVENT_LINE='^[0-9]{10}\.[0-9]{6} (rising|falling) [A-Z0-9]+$'

@test "watch: one line per change, wall-clock time, edge and name; exit 0 after --count" {
  later 1 set_input 3 1
  later 2 set_input 3 0
  before=$(date +%s)
  run dioctl watch di3 --count 2 --timeout 20s
  after=$(date +%s)
  status_is 0
  [ "${#lines[@]}" -eq 2 ]
  [[ "${lines[0]}" =~ $EVENT_LINE && "${lines[0]}" == *" rising DI3" ]]
  [[ "${lines[1]}" =~ $EVENT_LINE && "${lines[1]}" == *" falling DI3" ]]
  first=${lines[0]%%.*} second=${lines[1]%%.*}
  [ "$first" -ge "$before" ] && [ "$second" -ge "$first" ] && [ "$second" -le "$after" ]
}

@test "watch: every input without names, a group for its lines, only the lines asked" {
  later 1 set_input 7 1
  run dioctl watch --count 1 --timeout 20s
  [[ "$output" == *" rising DI7" ]]
  later 1 set_input 0 1
  later 1.5 set_input 5 1
  run dioctl watch DO0 DI5 --count 1 --timeout 20s
  [[ "$output" == *" rising DI5" ]]
  later 1 run_prog "$DIOCTL" --device "$BOARD" set LED3=1
  run dioctl watch LED --count 1 --timeout 20s
  [[ "$output" == *" rising LED3" ]]
}

@test "watch --json --initial: the levels first, then one JSON object per change" {
  set_input 2 1
  later 1 set_input 2 0
  now=$(date +%s)
  run -0 dioctl watch DI2 DI4 --initial --json --count 1 --timeout 20s
  [ "${#lines[@]}" -eq 3 ]
  echo "$output" | json_check "(
  [(d['line'], d['value'], d['edge']) for d in docs] ==
    [('DI2', 1, 'initial'), ('DI4', 0, 'initial'), ('DI2', 0, 'falling')]
  and all(isinstance(d['time'], float) and abs(d['time'] - $now) < 20 for d in docs))"
  run -0 dioctl watch DO1 --initial --timeout 100ms
  [[ "$output" =~ ^[0-9]{10}\.[0-9]{6}\ initial\ DO1\ 0$ ]]
}

@test "watch --timeout: exit 0 without --count, 124 before N events" {
  start=$(date +%s%N)
  run dioctl watch --timeout 500ms
  status_is 0
  output_is ""
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 500 ]
  later 0.5 set_input 1 1
  run dioctl watch --count 2 --timeout 3s
  status_is 124
  [[ "$output" == *" rising DI1" ]] && [ "${#lines[@]}" -eq 1 ]
}

glitch_then_hold() {
  set_input 6 1 && sleep 0.1 && set_input 6 0 && sleep 2 && set_input 6 1
}

@test "watch --debounce: a glitch shorter than it is not reported, a lasting change is" {
  later 1 glitch_then_hold
  # Unfiltered, the glitch alone would make the two events asked for.
  run dioctl watch DI6 --debounce 1s --count 2 --timeout 6s
  status_is 124
  [ "${#lines[@]}" -eq 1 ] && [[ "$output" == *" rising DI6" ]]
}

@test "watch interrupted: the events are out, exit 130" {
  for signal in INT TERM; do
    spawn_prog "$BATS_TEST_TMPDIR/watch.out" "$DIOCTL" --device "$BOARD" watch DI0 --timeout 60s
    later 1 set_input 0 1
    sleep 2
    kill -s "$signal" "$SPAWNED_PID"
    wait_spawned
    status_is 130
    run cat "$BATS_TEST_TMPDIR/watch.out"
    [[ "$output" == *" rising DI0" ]]
    [ "${#lines[@]}" -eq 1 ]
    set_input 0 0
  done
}

@test "wait: at once when the line has the level, else when it gets it" {
  run dioctl wait DI4=0 --timeout 10s
  status_is 0
  later 1 set_input 4 1
  run dioctl wait di4=on --timeout 20s
  status_is 0
  later 1 run_prog "$DIOCTL" --device "$BOARD" set DO2=1
  run dioctl wait DO2=active --timeout 20s
  status_is 0
}

@test "wait: 124 at the timeout, 130 when interrupted" {
  start=$(date +%s%N)
  run dioctl wait DI1=1 --timeout 300ms
  status_is 124
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 300 ]
  spawn_prog "$BATS_TEST_TMPDIR/wait.out" "$DIOCTL" --device "$BOARD" wait DI1=1 --timeout 60s
  sleep 1
  kill -INT "$SPAWNED_PID"
  wait_spawned
  status_is 130
}
