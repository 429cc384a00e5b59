# dioctl show: the board's front at a glance, plain or on a terminal, once
# or redrawn at every change.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() {
  setup_boards
  set_input 1 1
  poke "${DO_REGISTERS[7]}" 0x00
  poke "${LED_REGISTERS[0]}" 0x00
}
teardown() { stop_spawned; }

PANEL='inputs   DI0=0  DI1=1  DI2=0  DI3=0  DI4=0  DI5=0  DI6=0  DI7=0
outputs  DO0=0  DO1=0  DO2=0  DO3=0  DO4=0  DO5=0  DO6=0  DO7=1
LEDs     LED1=1  LED2=0  LED3=0'

@test "show: inputs, outputs and LEDs in rows, plain text when not a terminal" {
  NO_COLOR= run dioctl show
  status_is 0
  output_is "$PANEL"
}

@test "show --json: the object of get --json with every line" {
  run -0 dioctl show --json
  show=$output
  run -0 dioctl get --json
  [ "$show" = "$output" ]
  echo "$show" | json_check 'len(doc) == 19 and doc["DI1"] == doc["DO7"] == doc["LED1"] == 1 and sum(doc.values()) == 3'
}

@test "show on a terminal: lit and dark marks, in colour unless NO_COLOR" {
  run dioctl_on_terminal show
  [[ "${lines[0]}" == "inputs "*$'\e[2m○\e[0m DI0  \e[1;32m●\e[0m DI1'* ]]
  [[ "${lines[2]}" == "LEDs "*$'\e[1;32m●\e[0m LED1'* ]]
  NO_COLOR=1 run dioctl_on_terminal show
  [[ "${lines[1]}" == "outputs  ○ DO0  ○ DO1"*"● DO7"* ]]
  [[ "$output" != *$'\e['[0-9]*m* ]]
}

@test "show --watch: a new panel at every change until interrupted (130)" {
  spawn_prog "$BATS_TEST_TMPDIR/show.out" "$DIOCTL" --device "$BOARD" show --watch --interval 20ms
  board_opened_by_a_program && sleep 0.5
  set_input 1 0
  sleep 1
  kill -INT "$SPAWNED_PID"
  wait_spawned
  status_is 130
  run cat "$BATS_TEST_TMPDIR/show.out"
  output_is "$PANEL

${PANEL/DI1=1/DI1=0}"
}

@test "show --watch on a terminal redraws the panel in place" {
  later 1 set_input 1 0
  prog_command "$DIOCTL" --device "$BOARD" show --watch --interval 20ms
  run on_terminal timeout -s INT --preserve-status 3 "${PROG_COMMAND[@]}"
  status_is 130
  # The second panel starts by moving up over the first one's three rows.
  [[ "$output" == *$'\n\e[3Finputs '*$'\e[2m○\e[0m DI1'* ]]
  [ "$(grep -c '^inputs' <<<"$output")" -eq 1 ]
}
