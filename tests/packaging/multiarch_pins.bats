#!/usr/bin/env bats
# The version a "Multi-Arch: same" pair is pinned to: the newest one both
# architectures have, from apt-cache madison's listing.

bats_require_minimum_version 1.5.0

setup() {
  . "$BATS_TEST_DIRNAME/../../packaging/multiarch-pins.bash"
}

# The listing of a mirror whose i386 security index is behind amd64's.
madison_out_of_step() {
  cat <<'LISTING'
libmodbus-dev | 3.1.6-2.1+deb12u1 | http://deb.debian.org/debian-security bookworm-security/main amd64 Packages
libmodbus-dev |  3.1.6-2.1 | http://deb.debian.org/debian bookworm/main amd64 Packages
libmodbus-dev:i386 |  3.1.6-2.1 | http://deb.debian.org/debian bookworm/main i386 Packages
   libmodbus | 3.1.6-2.1 | http://deb.debian.org/debian bookworm/main Sources
LISTING
}

@test "the newest version by Debian's ordering, when both architectures have it, with nothing said" {
  # Epochs and "~" order versions, not the listing; a source line is no
  # binary package, even under the binary's name.
  run --separate-stderr newest_common_version libfoo amd64 i386 <<'LISTING'
      libfoo | 2.0-1 | http://deb.debian.org/debian bookworm/main amd64 Packages
      libfoo | 1:1.0-1 | http://deb.debian.org/debian bookworm/main amd64 Packages
      libfoo | 1:1.0-1~deb12u1 | http://deb.debian.org/debian bookworm-updates/main amd64 Packages
   libfoo:i386 | 1:1.0-1~deb12u1 | http://deb.debian.org/debian bookworm-updates/main i386 Packages
   libfoo:i386 | 2.0-1 | http://deb.debian.org/debian bookworm/main i386 Packages
   libfoo:i386 | 1:1.0-1 | http://deb.debian.org/debian bookworm/main i386 Packages
      libfoo | 1:1.0-2 | http://deb.debian.org/debian bookworm/main Sources
LISTING
  [ "$status" -eq 0 ]
  [ "$output" = "1:1.0-1" ]
  [ -z "$stderr" ]
}

@test "an older version both have, over one architecture's newer one, said in one line" {
  run --separate-stderr newest_common_version libmodbus-dev amd64 i386 < <(madison_out_of_step)
  [ "$status" -eq 0 ]
  [ "$output" = "3.1.6-2.1" ]
  [ "$stderr" = "libmodbus-dev pinned to 3.1.6-2.1, the newest version both amd64 and i386 have; 3.1.6-2.1+deb12u1 is amd64 only today" ]
}

@test "no version in common: an error naming the package and both lists" {
  run --separate-stderr newest_common_version libmodbus-dev amd64 i386 < <(
    madison_out_of_step | grep -v 'bookworm/main amd64')
  [ "$status" -eq 1 ]
  [ -z "$output" ]
  [[ "$stderr" == "libmodbus-dev: no version that both amd64 and i386 have (amd64: 3.1.6-2.1+deb12u1; i386: 3.1.6-2.1);"* ]]
}

@test "the sources of the pins are held at the pinned versions, once each, on every architecture" {
  # apt-cache show as Debian's lists have it: a source named apart from
  # the package, with its own version in parentheses, or not named at all.
  mkdir -p "$BATS_TEST_TMPDIR/bin"
  printf '%s\n' '#!/bin/sh' 'cat <<LISTING' \
    'Package: libgcc-s1' 'Source: gcc-12 (12.2.0-14)' 'Version: 12.2.0-14+deb12u1' '' \
    'Package: libstdc++6' 'Source: gcc-12 (12.2.0-14)' 'Version: 12.2.0-14+deb12u1' '' \
    'Package: libmodbus5' 'Version: 3.1.6-2.1' 'LISTING' >"$BATS_TEST_TMPDIR/bin/apt-cache"
  chmod +x "$BATS_TEST_TMPDIR/bin/apt-cache"
  PATH="$BATS_TEST_TMPDIR/bin:$PATH" run source_pins 1001 \
    libgcc-s1:i386=12.2.0-14+deb12u1 libstdc++6:i386=12.2.0-14+deb12u1 libmodbus5:i386=3.1.6-2.1
  [ "$status" -eq 0 ]
  [ "$output" = "$(printf '%s\n' \
    'Package: src:gcc-12:any' 'Pin: version 12.2.0-14+deb12u1' 'Pin-Priority: 1001' '' \
    'Package: src:libmodbus5:any' 'Pin: version 3.1.6-2.1' 'Pin-Priority: 1001')" ]
}
