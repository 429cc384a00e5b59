#!/usr/bin/env bats
# dio-webd's command line and its unit: --version, --check on a board file
# and through the service, each refused option (status 2, one line naming
# it), a stop signal's exit status, and dio-webd.service as systemd-analyze
# reads it, with the shipped options passing --check. HTTP itself is the
# pytest suites'.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_WEBD:?DIO_WEBD must name the dio-webd program}"
: "${DIO_WEBD_WWW:?DIO_WEBD_WWW must name the page folder of the build}"

setup() {
  setup_boards
  TOKEN="$BATS_TEST_TMPDIR/token"
  printf '%s\n' 0123456789abcdef0123456789abcdef0123456789abcdef >"$TOKEN"
  chmod 0600 "$TOKEN"
}

teardown() {
  stop_spawned
  if [ -n "${SERVICE_PID:-}" ]; then kill "$SERVICE_PID" 2>/dev/null || true; fi
}

needs_systemd_analyze() {
  command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze is not installed (Debian's systemd package): the unit cannot be checked"
}

@test "--version; --check passes on a board file, with the installed page folder by default" {
  run -0 run_prog "$DIO_WEBD" --version
  output_is "dio-webd ${VARNIK_VERSION:?}"
  before=$(board_digest)
  # No --www: the build's program finds the page as the installed one does.
  run -0 run_prog "$DIO_WEBD" --device "$BOARD" --check
  # root:dio 0640, as the unit's token file is, is no one else's to read.
  chmod 0640 "$TOKEN"
  run -0 run_prog "$DIO_WEBD" --device "$BOARD" --www "$DIO_WEBD_WWW" --check \
    --listen localhost:0 --token-file "$TOKEN" --host board-7.plant.example --host Board-7 \
    --max-event-clients 4 --request-timeout 2s --log-requests
  run -0 run_prog "$DIO_WEBD" --device "$BOARD" --check --read-only --listen 0.0.0.0:8080 \
    --insecure-http
  [ "$(board_digest)" = "$before" ]
}

@test "usage errors: status 2, one line naming the option, the board untouched" {
  local readable="$BATS_TEST_TMPDIR/readable" short="$BATS_TEST_TMPDIR/short"
  cp "$TOKEN" "$readable"
  chmod 0604 "$readable"
  printf 'too-short\n' >"$short"
  chmod 0600 "$short"
  before=$(board_digest)
  # Each case: what the message must name, then the arguments.
  while IFS='|' read -r named args; do
    named=${named//READABLE/$readable}
    args=${args//READABLE/$readable}
    args=${args//SHORT/$short}
    args=${args//TMP/$BATS_TEST_TMPDIR}
    read -ra words <<<"$args"
    # --check: a value wrongly let through ends the run too, with 0.
    run run_prog "$DIO_WEBD" --device "$BOARD" --check "${words[@]}"
    [ "$status" -eq 2 ] || { echo "status $status for $args: $output" >&2; return 1; }
    [ "${#lines[@]}" -eq 1 ] || { echo "not one line for $args: $output" >&2; return 1; }
    [[ "$output" == "dio-webd: "*"$named"* ]] || { echo "'$named' not named: $output" >&2; return 1; }
  done <<EOF_CASES
--bogus|--bogus
--listen|--listen 127.0.0.1
--listen|--listen 127.0.0.1:65536
--listen|--listen 127.0.0.1:http
--listen|--listen [::1]:8080
--listen|--listen 300.1.2.3:8080
--insecure-http|--listen 0.0.0.0:8080
--insecure-http|--listen 192.168.1.7:8080
chmod o= READABLE|--token-file READABLE
--token-file|--token-file SHORT
--token-file|--token-file TMP/none
--token-file|--token-file TMP
--www|--www TMP/none
--www|--www TMP
--max-event-clients|--max-event-clients 0
--request-timeout|--request-timeout soon
EOF_CASES
  [ "$(board_digest)" = "$before" ]
}

@test "a board it cannot open: status 1, naming it" {
  run -1 run_prog "$DIO_WEBD" --device "$BATS_TEST_TMPDIR/none" --check
  [[ "$output" == "dio-webd: $BATS_TEST_TMPDIR/none: "* ]]
}

@test "through the service: --check passes; it serves until a stop signal, whose exit status it gives" {
  local socket="$BATS_TEST_TMPDIR/board.sock" service_log="$BATS_TEST_TMPDIR/service.log" i
  spawn_prog "$service_log" "${DIO_BOARDD:?}" --device "$BOARD" --socket "$socket" \
    --group "$(id -gn)" --state-file "$BATS_TEST_TMPDIR/inputs.state"
  SERVICE_PID=$SPAWNED_PID
  for ((i = 0; i < 200; i++)); do grep -qs "^serving " "$service_log" && break; sleep 0.1; done
  run -0 run_prog "$DIO_WEBD" --device "$socket" --www "$DIO_WEBD_WWW" --check
  local signal log
  for signal in TERM:0 USR1:138; do
    log="$BATS_TEST_TMPDIR/web-${signal%:*}.log"
    spawn_prog "$log" "$DIO_WEBD" --device "$socket" --www "$DIO_WEBD_WWW" --listen 127.0.0.1:0
    for ((i = 0; i < 100; i++)); do grep -qs "^listening on http://" "$log" && break; sleep 0.1; done
    grep -Eq "^listening on http://127\.0\.0\.1:[1-9][0-9]* \(page from $DIO_WEBD_WWW; " "$log" ||
      { cat "$log" >&2; return 1; }
    kill -"${signal%:*}" "$SPAWNED_PID"
    wait_spawned
    status_is "${signal#*:}"
  done
}

@test "the unit: systemd-analyze verify finds nothing beside the board service's unit" {
  needs_systemd_analyze
  : "${DIO_WEBD_UNIT:?}" "${DIO_BOARDD_UNIT:?}"
  # Its Requires= names the board service: verify loads that unit too.
  local units="$BATS_TEST_TMPDIR/units"
  mkdir "$units"
  cp "$DIO_WEBD_UNIT" "$DIO_BOARDD_UNIT" "$units/"
  # --man=no: the man page is not installed in a build tree.
  run -0 systemd-analyze verify --man=no "$units/dio-webd.service"
  output_is ""
}

@test "the unit: exposure 2.0 at most, unprivileged, no capability, no device, IPv4 and AF_UNIX only" {
  needs_systemd_analyze
  run -0 systemd-analyze security --offline=yes --threshold=20 "$DIO_WEBD_UNIT"
  for setting in User=/DynamicUser= PrivateDevices= NoNewPrivileges= ProtectSystem= ProtectHome= \
      MemoryDenyWriteExecute= SystemCallFilter=~@privileged 'RestrictAddressFamilies=~AF_PACKET' \
      'RestrictAddressFamilies=~AF_NETLINK' 'CapabilityBoundingSet=~CAP_SYS_RAWIO' \
      CapabilityBoundingSet=~CAP_SYS_ADMIN 'CapabilityBoundingSet=~CAP_NET_(BIND_SERVICE|BROADCAST|RAW)' \
      AmbientCapabilities=; do
    grep -F "✓ $setting" <<<"$output" >/dev/null || { echo "not in force: $setting" >&2; return 1; }
  done
  grep -qx "RestrictAddressFamilies=AF_INET AF_UNIX" "$DIO_WEBD_UNIT"
  grep -qx "SupplementaryGroups=dio" "$DIO_WEBD_UNIT"
}

@test "the unit runs through the service; the shipped options pass --check" {
  : "${DIO_WEBD_DEFAULTS:?}"
  local given options
  given=$(sed -n 's/^ExecStart=[^ ]* \(.*\) \$DIO_WEBD_OPTIONS$/\1/p' "$DIO_WEBD_UNIT")
  [ "$given" = "--device /run/varnik-dio/board.sock" ]
  grep -qx "Type=notify" "$DIO_WEBD_UNIT"
  # systemd's and the shell's reading of the file agree on this form.
  options=$(. "$DIO_WEBD_DEFAULTS" && echo "$DIO_WEBD_OPTIONS")
  read -ra words <<<"$options"
  [ "${#words[@]}" -gt 0 ]
  # A board file stands for the service's socket.
  run -0 run_prog "$DIO_WEBD" --check --device "$BOARD" --www "$DIO_WEBD_WWW" "${words[@]}"
}
