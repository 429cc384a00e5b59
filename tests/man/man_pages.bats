#!/usr/bin/env bats
# The built manual pages: they render as lintian renders them, without a
# warning, carry the build's version, and the generated ones describe
# every verb the programs have.
#
# ctest passes VARNIK_MAN_PAGES (the compressed pages, separated by
# colons), VARNIK_VERSION, and the programs: DIOCTL, DIO_SIM, DIO_MODBUSD,
# DIO_BOARDD, DIO_WEBD.

load ../common/tool_helpers

setup() {
  IFS=':' read -r -a PAGES <<<"$VARNIK_MAN_PAGES"
  [ "${#PAGES[@]}" -eq 10 ]
}

page_named() {
  local page
  for page in "${PAGES[@]}"; do
    [ "$(basename "$page")" = "$1.gz" ] && { echo "$page"; return; }
  done
  echo "no man page $1 among: ${PAGES[*]}" >&2
  return 1
}

rendered() {
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$1" 2>/dev/null | col -b
}

# The subcommand names of a program's --help.
subcommands_of() {
  run_prog "$1" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'
}

@test "every page renders without a warning, with the version in its title line" {
  local page warnings
  for page in "${PAGES[@]}"; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
      man --warnings -E UTF-8 -l -Z "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || { echo "$page: $warnings"; false; }
    zcat "$page" | grep -q "^\.TH .*varnik_dio $VARNIK_VERSION\|^\.TH .*$VARNIK_VERSION\"" ||
      { echo "$page: no version $VARNIK_VERSION in .TH"; false; }
  done
}

# Each verb of the program's --help has an entry of its own in the page's
# section $3 (from the page's include file: help2man's part of the page
# lists the verbs anyway).
describes_every_verb() {
  local program=$1 page=$2 section=$3 count=$4 verb text verbs
  text=$(rendered "$(page_named "$page")" | sed -n "/^$section\$/,/^[A-Z]/p")
  [ -n "$text" ] || { echo "$page has no section $section"; false; }
  verbs=$(subcommands_of "$program")
  [ "$(wc -w <<<"$verbs")" -eq "$count" ]
  for verb in $verbs; do
    grep -Eq "^ {7}$verb( |\$)" <<<"$text" || { echo "$page has no entry for $verb"; false; }
  done
}

@test "dioctl(1) and dio-sim(1) describe every verb the programs have" {
  describes_every_verb "$DIOCTL" dioctl.1 VERBS 9
  describes_every_verb "$DIO_SIM" dio-sim.1 SUBCOMMANDS 4
}

# The names a library header exports: functions and data.
exported_names() {
  grep -E '^[A-Z_]+_API ' "$1" |
    sed -E 's/^[^(]*[ *]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/; s/^.*[ *]([A-Za-z_][A-Za-z0-9_]*)\[.*/\1/'
}

@test "the library pages name every exported function and table" {
  local page header name names missing=()
  for page in varnik_dio.3 varnik_dio_board.3; do
    header=$PROJECT_SOURCE_DIR/driver/varnik_dio.h
    [ "$page" = varnik_dio_board.3 ] && header=$PROJECT_SOURCE_DIR/board/varnik_dio_board.h
    names=$(exported_names "$header")
    [ "$(wc -w <<<"$names")" -ge 15 ]
    for name in $names; do
      # The whole name on a bold line (the synopsis, an entry) or in bold.
      zcat "$(page_named "$page")" | grep -Eq "^\.B[IR]? .*\b$name\b|\\fB$name\b" ||
        missing+=("$page:$name")
    done
  done
  [ "${#missing[@]}" -eq 0 ] || { echo "not described: ${missing[*]}"; false; }
}

# Each option of the daemon's --help has an entry in the page's OPTIONS.
describes_every_option() {
  local program=$1 page=$2 option text
  text=$(rendered "$(page_named "$page")" | sed -n '/^OPTIONS$/,/^[A-Z]/p')
  for option in $(run_prog "$program" --help | grep -o -- '^ *--[a-z-]*' | grep -v -- '--help\|--version'); do
    grep -Eq "^ {7}$option( |\$)" <<<"$text" || { echo "$page has no entry for $option"; false; }
  done
}

@test "dio-modbusd(8), dio-boardd(8) and dio-webd(8) describe every option of the programs' --help" {
  describes_every_option "$DIO_MODBUSD" dio-modbusd.8
  describes_every_option "$DIO_BOARDD" dio-boardd.8
  describes_every_option "$DIO_WEBD" dio-webd.8
}
