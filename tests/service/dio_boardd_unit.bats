# dio-boardd.service and its options file: what systemd-analyze says of the
# unit's syntax and hardening, and that the shipped options are ones the
# service accepts as they are.
bats_require_minimum_version 1.5.0
load ../common/tool_helpers

: "${DIO_BOARDD_UNIT:?DIO_BOARDD_UNIT must name the unit with the program of the build}"
: "${DIO_BOARDD_DEFAULTS:?DIO_BOARDD_DEFAULTS must name the options file}"

needs_systemd_analyze() {
  command -v systemd-analyze >/dev/null ||
    skip "systemd-analyze is not installed (Debian's systemd package): the unit cannot be checked"
}

@test "systemd-analyze verify: no complaint about the unit" {
  needs_systemd_analyze
  # --man=no: the man page is not installed in a build tree.
  run -0 systemd-analyze verify --man=no "$DIO_BOARDD_UNIT"
  output_is ""
}

@test "systemd-analyze security: exposure 1.5 at most, each hardening in force" {
  needs_systemd_analyze
  run -0 systemd-analyze security --offline=yes --threshold=15 "$DIO_BOARDD_UNIT"
  for setting in NoNewPrivileges= ProtectSystem= ProtectHome= PrivateTmp= PrivateNetwork= \
      MemoryDenyWriteExecute= SystemCallFilter=~@privileged 'RestrictAddressFamilies=~AF_(INET|INET6)' \
      CapabilityBoundingSet=~CAP_SYS_ADMIN 'CapabilityBoundingSet=~CAP_(CHOWN|FSETID|SETFCAP)' \
      ProtectProc=; do
    grep -F "✓ $setting" <<<"$output" >/dev/null || { echo "not in force: $setting" >&2; return 1; }
  done
  grep -F "/dev/mem:rw" <<<"$output" >/dev/null
}

@test "the shipped options name the device and pass --check" {
  options=$(. "$DIO_BOARDD_DEFAULTS" && echo "$DIO_BOARDD_OPTIONS")
  [[ "$options" == *"--device /dev/mem"* ]]
  read -ra words <<<"$options"
  # The machine running the tests may have no group dio: the user's own.
  run -0 run_prog "$DIO_BOARDD" --check "${words[@]}" --group "$(id -gn)"
  output_is ""
}
