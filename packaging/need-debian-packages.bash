# Installs the Debian packages a command needs, once: sourced by the
# README's two commands (sample/run-sample, tests/run-all) and by
# packaging/build-packages (need_package_build_tools).
#
#   need_debian_packages "what they are for" PACKAGE...
#
# Installs nothing when every package is there. Otherwise it says which
# are missing and why, then installs them with apt-get, through sudo when
# not root. VARNIK_NO_INSTALL=1 makes it stop with the list instead.

# What building varnik_dio needs, tests aside.
VARNIK_BUILD_PACKAGES=(cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libmodbus-dev
  libmosquitto-dev libcivetweb-dev)

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
  mosquitto mosquitto-clients         # a broker and its clients, for dio-mqttd end to end
  python3-paho-mqtt openssl           # the tests' MQTT client; their TLS certificates
  python3-prometheus-client           # the metrics' parser, for dio-webd end to end
  python3-selenium chromium chromium-driver  # dio-webd's page in a browser
  systemd                             # systemd-analyze, for dio-modbusd's unit
)

# What building the Debian packages needs beyond building varnik_dio
# (packaging/build-packages).
VARNIK_PACKAGING_PACKAGES=(
  dpkg-dev                            # dpkg-buildflags, dpkg-shlibdeps
  file                                # CPack's look at what is a binary
  help2man                            # every man page
  lintian                             # the packages' check
)

# And for the board's i386 packages on an amd64 machine: gcc's 32-bit
# support, and the "Multi-Arch: same" libraries needed for i386 too:
# Debian's i386 runtime, which dpkg-shlibdeps must name, and the i386
# libmodbus, libmosquitto and libcivetweb the 32-bit dio-modbusd, dio-mqttd
# and dio-webd link.
VARNIK_I386_COMPILER_PACKAGES=(g++-multilib)
VARNIK_I386_LIBRARIES=(libc6 libstdc++6 libgcc-s1 libmodbus-dev libmosquitto-dev libcivetweb-dev)

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

# The version PACKAGE's twin is installed at, if it is: the build for
# another architecture than the one asked for (the machine's own when
# PACKAGE names none).
installed_twin_version() {
  local package=$1 arch
  arch=$(dpkg --print-architecture)
  [[ "$package" != *:* ]] || { arch=${package##*:}; package=${package%:*}; }
  installed_architectures "$package" |
    awk -v arch="$arch" '$1 != arch && $1 != "all" && $3 == "installed" { print $2; exit }'
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
# architecture than the machine's own, and for the installed twin of each
# PACKAGE asked for with an architecture (libc6 for libc6:i386).
installed_twins() {
  local native package version
  native=$(dpkg --print-architecture)
  { dpkg-query -W -f='${Architecture} ${Multi-Arch} ${db:Status-Status} ${binary:Package}=${Version}\n' 2>/dev/null || true; } |
    awk -v native="$native" '$1 != native && $1 != "all" && $2 == "same" && $3 == "installed" { print $4 }'
  for package; do
    [[ "$package" == *:* ]] || continue
    version=$(installed_twin_version "$package")
    [ -z "$version" ] || printf '%s\n' "${package%:*}=$version"
  done
}

# apt preferences that hold the sources of the twins of PACKAGE... and of
# the packages installed for another architecture at their installed
# versions, after the machine's own /etc/apt/preferences: whatever this
# install brings of those sources (a twin, libmodbus5 for mbpoll,
# libmodbus-dev beside an installed libmodbus5 pair, gcc-12-base:i386 for
# libstdc++6:i386) comes at the version the pair has, even when the mirror
# offers a newer one; nothing installed is downgraded.
twin_source_preferences() {
  local -a twins
  mapfile -t twins < <(installed_twins "$@")
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
  twin_source_preferences "${missing[@]}" >"$preferences"
  chmod 0644 "$preferences"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o Dir::Etc::Preferences="$preferences" \
    install -y -q --no-install-recommends "${arguments[@]}" >&2 || status=$?
  rm -f "$preferences"
  return "$status"
}

# The i386 loader runs, so the kernel runs 32-bit programs itself (some
# virtual machines' kernels have no IA32 emulation).
kernel_runs_i386_programs() {
  /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# What packaging/build-packages needs to build the packages of ARCH...
# (amd64, i386), lintian only when LINT is "yes":
#
#   need_package_build_tools LINT ARCH...
#
# On an amd64 machine the i386 packages need the i386 architecture
# enabled, which it says how to do rather than doing it; and, where the
# kernel cannot run the 32-bit dioctl and dio-sim that help2man asks for
# their man pages, qemu-user to run them.
need_package_build_tools() {
  local lint=$1 arch native package packages=() foreign=""
  shift
  native=$(dpkg --print-architecture)
  for package in "${VARNIK_BUILD_PACKAGES[@]}" "${VARNIK_PACKAGING_PACKAGES[@]}"; do
    [ "$package" = lintian ] && [ "$lint" != yes ] && continue
    packages+=("$package")
  done
  for arch; do
    [ "$arch" != "$VARNIK_BOARD_ARCHITECTURE" ] || [ "$arch" = "$native" ] || foreign=$arch
  done
  if [ -n "$foreign" ]; then
    if ! dpkg --print-foreign-architectures | grep -qx "$foreign"; then
      echo "The $foreign packages are built against Debian's $foreign libraries, and the $foreign" \
        "architecture is not enabled here. Enable it with:" >&2
      echo "  sudo dpkg --add-architecture $foreign && sudo apt-get update" >&2
      echo "or build the $native packages alone (--arch $native)." >&2
      return 1
    fi
    packages+=("${VARNIK_I386_COMPILER_PACKAGES[@]}")
    for package in "${VARNIK_I386_LIBRARIES[@]}"; do packages+=("$package:$foreign"); done
  fi
  need_debian_packages "to build the Debian packages" "${packages[@]}" || return 1
  if [ -n "$foreign" ] && ! kernel_runs_i386_programs; then
    need_debian_packages "to run the 32-bit dioctl and dio-sim for their man pages (this kernel does not run 32-bit programs)" qemu-user
  fi
}
