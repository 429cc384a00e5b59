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

debian_package_installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
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
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}
