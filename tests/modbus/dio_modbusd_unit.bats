# dio-modbusd.service and its options file: what systemd-analyze says of
# the unit's syntax and hardening, and that the shipped options, and the
# README's, are ones the gateway accepts as they are.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_MODBUSD_UNIT:?DIO_MODBUSD_UNIT must name the unit with the program of the build}"
: "${DIO_MODBUSD_DEFAULTS:?DIO_MODBUSD_DEFAULTS must name the options file}"

needs_systemd_analyze() {
  command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze is not installed (Debian's systemd package): the unit cannot be checked"
}

@test "systemd-analyze verify: no complaint about the unit" {
  needs_systemd_analyze
  # --man=no: the man page is not installed in a build tree.
  run -0 systemd-analyze verify --man=no "$DIO_MODBUSD_UNIT"
  output_is ""
}

@test "systemd-analyze security: exposure 2.0 at most, each hardening in force" {
  needs_systemd_analyze
  run -0 systemd-analyze security --offline=yes --threshold=20 "$DIO_MODBUSD_UNIT"
  for setting in NoNewPrivileges= ProtectSystem= ProtectHome= PrivateTmp= \
      MemoryDenyWriteExecute= SystemCallFilter=~@privileged 'RestrictAddressFamilies=~AF_PACKET' \
      CapabilityBoundingSet=~CAP_SYS_ADMIN CapabilityBoundingSet=~CAP_SYS_PTRACE; do
    grep -F "✓ $setting" <<<"$output" >/dev/null || { echo "not in force: $setting" >&2; return 1; }
  done
  grep -F "/dev/mem:rw" <<<"$output" >/dev/null
}

@test "the shipped options name the device and pass --check without a warning" {
  # systemd's and the shell's reading of the file agree on this form.
  options=$(. "$DIO_MODBUSD_DEFAULTS" && echo "$DIO_MODBUSD_OPTIONS")
  [[ "$options" == *"--device /dev/mem"* ]]
  read -ra words <<<"$options"
  run -0 run_prog "$DIO_MODBUSD" --check "${words[@]}"
  output_is ""
}

@test "the README's check of its options runs the installed gateway by its path, and they pass" {
  # The options written into the file, then checked as a user runs it: with
  # no /usr/sbin on PATH.
  local written checked
  written=$(sed -n 's/^ *# *DIO_MODBUSD_OPTIONS="\(.*\)"$/\1/p' "$VARNIK_README")
  checked=$(sed -n 's/^ *\([^ ]*dio-modbusd\) --check /\1 /p' "$VARNIK_README")
  [ "${checked%% *}" = /usr/sbin/dio-modbusd ] || { echo "checked with: $checked"; false; }
  [ "${checked#* }" = "$written" ]
  read -ra words <<<"$written"
  run -0 run_prog "$DIO_MODBUSD" --check "${words[@]}"
  output_is ""
}

@test "the shared unit: verified beside the board service's, unprivileged, only the Modbus port's capability" {
  needs_systemd_analyze
  : "${DIO_MODBUSD_SHARED_UNIT:?}" "${DIO_BOARDD_UNIT:?}"
  # Its Requires= names the board service: verify loads that unit too.
  local units
  units=$(mktemp -d)
  cp "$DIO_MODBUSD_SHARED_UNIT" "$DIO_BOARDD_UNIT" "$units/"
  run -0 systemd-analyze verify --man=no "$units/dio-modbusd-shared.service"
  rm -rf "$units"
  output_is ""
  run -0 systemd-analyze security --offline=yes --threshold=20 "$DIO_MODBUSD_SHARED_UNIT"
  for setting in User=/DynamicUser= PrivateDevices= NoNewPrivileges= 'CapabilityBoundingSet=~CAP_SYS_RAWIO' \
      CapabilityBoundingSet=~CAP_SYS_ADMIN SystemCallFilter=~@privileged; do
    grep -F "✓ $setting" <<<"$output" >/dev/null || { echo "not in force: $setting" >&2; return 1; }
  done
  ! grep -F "/dev/mem" <<<"$output"
}

@test "the shared unit's options, with the device and claim its unit gives, pass --check" {
  local given options
  given=$(sed -n 's/^ExecStart=[^ ]* \(.*\) \$DIO_MODBUSD_SHARED_OPTIONS$/\1/p' "$DIO_MODBUSD_SHARED_UNIT")
  [ "$given" = "--device /run/varnik-dio/board.sock --claim-with-watchdog" ]
  options=$(. "$DIO_MODBUSD_SHARED_DEFAULTS" && echo "$DIO_MODBUSD_SHARED_OPTIONS")
  read -ra words <<<"$given $options"
  run -0 run_prog "$DIO_MODBUSD" --check "${words[@]}"
  output_is ""
}
