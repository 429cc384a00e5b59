# dioctl info, get, set and toggle against the registers they must reach.
bats_require_minimum_version 1.5.0
load dioctl_common

setup() { setup_boards; }

@test "info: one row per line with direction, register, bit and active-low, then the device" {
  run dioctl info
  status_is 0
  [ "${#lines[@]}" -eq 21 ]
  [ "${lines[0]}" = "LINE  DIRECTION ADDRESS    BIT ACTIVE-LOW" ]
  [ "${lines[1]}" = "DI0   input     0xfdae06a8 1   yes" ]
  [ "${lines[8]}" = "DI7   input     0xfdae06e0 1   yes" ]
  [ "${lines[12]}" = "DO3   output    0xfdae0500 0   yes" ]
  [ "${lines[13]}" = "DO4   output    0xfdae0548 0   yes" ]
  [ "${lines[19]}" = "LED3  LED       0xfdaf04b8 0   yes" ]
  [ "${lines[20]}" = "DEVICE $BOARD: board file" ]
  # The pin map needs no device: one that cannot be opened is named, and why.
  run -0 run_prog "$DIOCTL" --device "$BATS_TEST_TMPDIR/none" info
  [ "${lines[20]}" = "DEVICE $BATS_TEST_TMPDIR/none: not opened: No such file or directory (dio-sim --board $BATS_TEST_TMPDIR/none new makes a board file there)" ]
}

@test "get: every line by default, the names asked in their order, groups as masks" {
  set_input 3 1
  poke "${DO_REGISTERS[0]}" 0x00
  poke "${DO_REGISTERS[7]}" 0x00
  poke "${LED_REGISTERS[1]}" 0x00
  run dioctl get
  status_is 0
  output_is "DI0=0 DI1=0 DI2=0 DI3=1 DI4=0 DI5=0 DI6=0 DI7=0 DO0=1 DO1=0 DO2=0 DO3=0 DO4=0 DO5=0 DO6=0 DO7=1 LED1=0 LED2=1 LED3=0"
  run dioctl get led2 DO di3 DI LED do7
  output_is "LED2=1 DO=0x81 DI3=1 DI=0x08 LED=0x02 DO7=1"
  run dioctl get --numeric led2 DO di3 LED
  output_is "1 0x81 1 0x02"
}

@test "get --json: one object keyed by name, groups as numbers" {
  poke "${DO_REGISTERS[0]}" 0x00
  poke "${DO_REGISTERS[2]}" 0x00
  run -0 dioctl get --json DI0 DO led1
  echo "$output" | json_check 'list(doc.items()) == [("DI0", 0), ("DO", 5), ("LED1", 0)]'
  run -0 dioctl get --json
  echo "$output" | json_check 'len(doc) == 19 and doc["DO0"] == 1 and doc["DO2"] == 1 and sum(doc.values()) == 2'
}

@test "set: level words in any case reach the registers, other lines untouched" {
  run dioctl set DO0=1 do1=On DO2=ACTIVE LED3=on DO4=1 DO4=off
  status_is 0
  output_is ""
  [ "$(driven_registers)" = "00 00 00 03 01 03 03 03 03 03 00" ]
  run dioctl set DO0=0 DO1=off do2=Inactive LED3=0
  [ "$(driven_registers)" = "01 01 01 03 01 03 03 03 03 03 01" ]
}

@test "set: group masks drive every line of the group" {
  run dioctl set DO=0xa5 LED=0x5
  status_is 0
  [ "$(driven_registers)" = "00 01 00 01 01 00 01 00 00 01 00" ]
  run dioctl get DO LED
  output_is "DO=0xa5 LED=0x05"
  run dioctl set do=0 led=7
  run dioctl get DO LED
  output_is "DO=0x00 LED=0x07"
}

@test "toggle: lines and groups turn to the other level" {
  run dioctl set DO=0x0f LED1=1
  run dioctl toggle DO0 led1
  status_is 0
  run dioctl get DO LED
  output_is "DO=0x0e LED=0x00"
  run dioctl toggle DO LED
  run dioctl get DO LED
  output_is "DO=0xf1 LED=0x07"
}
