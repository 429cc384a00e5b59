# dioctl through the board service: dio-boardd of this build on the test's
# board, every verb given its socket as the device, and the hints when the
# service is not there or not the user's.
bats_require_minimum_version 1.5.0
load dioctl_common

: "${DIO_BOARDD:?DIO_BOARDD must name the dio-boardd program}"

setup() {
  setup_boards
  start_board_service
}
teardown() { stop_spawned; }

@test "every verb works through the service's socket, on the service's board" {
  run -0 through_service set DO3=1 LED=0x05
  [ "$(peek "${DO_REGISTERS[3]}")" = 00 ]
  [ "$(peek "${LED_REGISTERS[0]}")$(peek "${LED_REGISTERS[1]}")" = 0001 ]
  run -0 through_service get DO3 LED
  output_is "DO3=1 LED=0x05"
  run -0 through_service toggle DO3 DO4
  run -0 through_service get --numeric DO
  output_is 0x10
  run -0 through_service pulse DO0 --width 1ms --count 2
  run -0 through_service show --json
  echo "$output" | json_check 'doc["DO4"] == doc["LED1"] == doc["LED3"] == 1 and sum(doc.values()) == 3'
  run -0 through_service info
  [ "${lines[20]}" = "DEVICE $SOCKET: board service" ]
  (sleep 2 && set_input 3 1) >/dev/null 2>&1 3>&- &
  run -0 through_service watch DI3 --count 1 --timeout 20s
  [[ "$output" == *" rising DI3" ]]
  run -0 through_service wait DI3=1 --timeout 5s
}

@test "a service that is not running, or a socket not the user's: the error and what to do" {
  stop_spawned
  wait "$SPAWNED_PID" || true
  SPAWNED_PID=
  # What a killed service leaves behind: a socket nobody listens on.
  python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET).bind(sys.argv[1])' "$SOCKET" 2>/dev/null || [ -S "$SOCKET" ]
  run through_service get
  status_is 1
  output_is "dioctl: $SOCKET: Connection refused (the board service is not running: start it (systemctl start dio-boardd))"
  [ "$(id -u)" -ne 0 ] || skip "root connects to any socket"
  chmod 000 "$SOCKET"
  run through_service set DO0=1
  status_is 1
  output_is "dioctl: $SOCKET: Permission denied (the board service's socket is for the members of its group (dio): ask to be added, then log in again)"
}
