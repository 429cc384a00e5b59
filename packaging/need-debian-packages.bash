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

# Installed for this machine's own architecture (or for all): with the
# i386 architecture enabled, a library's :i386 build beside it does not
# count for the native build. A name with an architecture (libc6:i386) is
# looked up as it is.
debian_package_installed() {
  local package=$1 native
  if [[ "$package" == *:* ]]; then
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ]
    return
  fi
  native=$(dpkg --print-architecture)
  dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$package" 2>/dev/null |
    grep -Eqx "($native|all) installed"
}

need_debian_packages() {
  local purpose=$1 package missing=() as_root=()
  shift
  for package in "$@"; do
    debian_package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0

  echo "Missing Debian packages $purpose: ${missing[*]}" >&2
  if [ "${VARNIK_NO_INSTALL:-}" = 1 ]; then
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
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
  echo "Installing them with: ${as_root[*]:+${as_root[*]} }apt-get install ${missing[*]}" >&2
  # A mirror in the middle of a sync can fail one index: the others, and
  # the lists from before, may still hold the packages.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 ||
    echo "apt-get update failed; trying the install with the package lists there are" >&2
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
