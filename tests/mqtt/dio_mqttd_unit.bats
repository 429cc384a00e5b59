# dio-mqttd.service and its options file: what systemd-analyze says of the
# unit's syntax and hardening, and that the shipped options, with what the
# unit gives, are ones the bridge accepts.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_MQTTD:?DIO_MQTTD must name the dio-mqttd program}"
: "${DIO_MQTTD_UNIT:?DIO_MQTTD_UNIT must name the unit with the program of the build}"
: "${DIO_MQTTD_DEFAULTS:?DIO_MQTTD_DEFAULTS must name the options file}"

setup() { setup_boards; }

needs_systemd_analyze() {
  command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze is not installed (Debian's systemd package): the unit cannot be checked"
}

@test "systemd-analyze verify: no complaint about the unit beside the board service's" {
  needs_systemd_analyze
  : "${DIO_BOARDD_UNIT:?}"
  # Its Requires= names the board service: verify loads that unit too.
  local units="$BATS_TEST_TMPDIR/units"
  mkdir "$units"
  cp "$DIO_MQTTD_UNIT" "$DIO_BOARDD_UNIT" "$units/"
  # --man=no: the man page is not installed in a build tree.
  run -0 systemd-analyze verify --man=no "$units/dio-mqttd.service"
  output_is ""
}

@test "systemd-analyze security: exposure 2.0 at most, unprivileged, no capability, no device" {
  needs_systemd_analyze
  run -0 systemd-analyze security --offline=yes --threshold=20 "$DIO_MQTTD_UNIT"
  for setting in User=/DynamicUser= PrivateDevices= NoNewPrivileges= ProtectSystem= ProtectHome= \
      MemoryDenyWriteExecute= SystemCallFilter=~@privileged 'RestrictAddressFamilies=~AF_PACKET' \
      'CapabilityBoundingSet=~CAP_SYS_RAWIO' CapabilityBoundingSet=~CAP_SYS_ADMIN \
      'CapabilityBoundingSet=~CAP_NET_(BIND_SERVICE|BROADCAST|RAW)' AmbientCapabilities=; do
    grep -F "✓ $setting" <<<"$output" >/dev/null || { echo "not in force: $setting" >&2; return 1; }
  done
  ! grep -F "/dev/mem" <<<"$output"
}

@test "the unit runs through the service; the shipped options pass --check" {
  local given options
  given=$(sed -n 's/^ExecStart=[^ ]* \(.*\) \$DIO_MQTTD_OPTIONS$/\1/p' "$DIO_MQTTD_UNIT")
  [ "$given" = "--device /run/varnik-dio/board.sock" ]
  grep -qx "Type=notify" "$DIO_MQTTD_UNIT"
  # systemd's and the shell's reading of the file agree on this form.
  options=$(. "$DIO_MQTTD_DEFAULTS" && echo "$DIO_MQTTD_OPTIONS")
  read -ra words <<<"$options"
  # --check opens the board: a board file stands for the service's socket,
  # and --id for a host name the test machine may not have.
  run -0 run_prog "$DIO_MQTTD" --check --device "$BOARD" --id unit-test "${words[@]}"
  output_is ""
}
