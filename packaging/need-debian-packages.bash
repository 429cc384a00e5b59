# Installs the Debian packages a command needs, once: sourced by the
# README's two commands (sample/run-sample, tests/run-all).
#
#   need_debian_packages "what they are for" PACKAGE...
#
# Installs nothing when every package is there. Otherwise it says which
# are missing and why, then installs them with apt-get, through sudo when
# not root. VARNIK_NO_INSTALL=1 makes it stop with the list instead.

# What building varnik_dio needs, tests aside.
VARNIK_BUILD_PACKAGES=(cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libmodbus-dev)

# What testing varnik_dio needs beyond building it.
VARNIK_TEST_PACKAGES=(
  googletest libbenchmark-dev bats    # the test frameworks
  help2man man-db                     # the man pages, built and read
  binutils coreutils                  # readelf, timeout, stdbuf
  bsdutils python3                    # script(1), a terminal for dioctl show
  libcap2-bin                         # setcap, for dio-sim run's refusal
  python3-pytest python3-build        # the Python package's tests and wheel
  python3-setuptools python3-wheel
  mbpoll                              # a Modbus client, for dio-modbusd end to end
  systemd                             # systemd-analyze, for dio-modbusd's unit
)

# shellcheck source=multiarch-pins.bash
. "$(dirname "${BASH_SOURCE[0]}")/multiarch-pins.bash"

# "ARCHITECTURE VERSION STATUS" for each architecture PACKAGE is known for.
# Nothing, and success, for a package dpkg does not know.
installed_architectures() {
  dpkg-query -W -f='${Architecture} ${Version} ${db:Status-Status}\n' "$1" 2>/dev/null || true
}

# Installed, at any version, for this machine's own architecture (or for
# all): with the i386 architecture enabled, a library's :i386 build beside
# it does not count for the native build. A name with an architecture
# (libc6:i386) is looked up as it is.
debian_package_installed() {
  local package=$1 native
  native=$(dpkg --print-architecture)
  [[ "$package" == *:* ]] && native=${package##*:}
  installed_architectures "$package" |
    awk -v native="$native" '($1 == native || $1 == "all") && $3 == "installed" { found = 1 } END { exit !found }'
}

# The version PACKAGE is installed at for another architecture than the
# machine's own (its twin), if it is.
installed_twin_version() {
  local native
  native=$(dpkg --print-architecture)
  installed_architectures "$1" |
    awk -v native="$native" '$1 != native && $1 != "all" && $3 == "installed" { print $2; exit }'
}

# The apt-get arguments for the missing PACKAGE...: each is asked for at
# the version its twin is installed at, if it is.
install_arguments() {
  local package version
  for package; do
    version=$(installed_twin_version "$package")
    printf '%s\n' "$package${version:+=$version}"
  done
}

# "NAME=VERSION" for each "Multi-Arch: same" package installed for another
# architecture than the machine's own.
installed_twins() {
  local native
  native=$(dpkg --print-architecture)
  { dpkg-query -W -f='${Architecture} ${Multi-Arch} ${db:Status-Status} ${binary:Package}=${Version}\n' 2>/dev/null || true; } |
    awk -v native="$native" '$1 != native && $1 != "all" && $2 == "same" && $3 == "installed" { print $4 }'
}

# apt preferences that hold the sources of the packages installed for
# another architecture at their installed versions, after the machine's
# own /etc/apt/preferences: whatever this install brings of those sources
# (a twin, libmodbus5 for mbpoll, libmodbus-dev beside an installed
# libmodbus5 pair) comes at the version the pair has, even when the mirror
# offers this machine a newer one; nothing installed is downgraded.
twin_source_preferences() {
  local -a twins
  mapfile -t twins < <(installed_twins)
  [ ! -r /etc/apt/preferences ] || { cat /etc/apt/preferences; echo; }
  [ "${#twins[@]}" -eq 0 ] || source_pins 990 "${twins[@]}"
}

need_debian_packages() {
  local purpose=$1 package missing=() as_root=()
  shift
  for package in "$@"; do
    debian_package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0

  echo "Missing Debian packages $purpose: ${missing[*]}" >&2
  local argument_list arguments=()
  argument_list=$(install_arguments "${missing[@]}") || return 1
  mapfile -t arguments <<<"$argument_list"
  if [ "${VARNIK_NO_INSTALL:-}" = 1 ]; then
    echo "Install them with: sudo apt-get install --no-install-recommends ${arguments[*]}" >&2
    return 1
  fi
  if ! command -v apt-get >/dev/null; then
    echo "There is no apt-get here: install them with the system's own package manager" >&2
    return 1
  fi
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "Installing them needs root, and sudo is missing: run this as root, or install them first" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "Installing them with: ${as_root[*]:+${as_root[*]} }apt-get install ${arguments[*]}" >&2
  # A mirror in the middle of a sync can fail one index: the others, and
  # the lists from before, may still hold the packages.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 ||
    echo "apt-get update failed; trying the install with the package lists there are" >&2
  local preferences status=0
  preferences=$(mktemp "${TMPDIR:-/tmp}/varnik-apt-preferences.XXXXXX")
  twin_source_preferences >"$preferences"
  chmod 0644 "$preferences"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o Dir::Etc::Preferences="$preferences" \
    install -y -q --no-install-recommends "${arguments[@]}" >&2 || status=$?
  rm -f "$preferences"
  return "$status"
}
