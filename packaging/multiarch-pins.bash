# Installing a library for both the machine's architecture and the board's
# i386, whatever state the Debian mirror is in. Sourced by .ci/run,
# packaging/need-debian-packages.bash and their tests.
#
# A "Multi-Arch: same" library installed for two architectures must have
# the same version on both. When the mirror is out of step (an i386
# index mid-sync, a security update built for amd64 first), the two
# candidates differ and apt refuses the pair; it never picks an older
# version for a dependency by itself. So every such package, and every
# such dependency of it, is asked for by version: the newest one both
# architectures have.

VARNIK_BOARD_ARCHITECTURE=i386

# The versions of PACKAGE for ARCH in `apt-cache madison` output on
# standard input, one a line.
available_versions() {
  local package=$1 arch=$2
  awk -F' *[|] *' -v package="$package" -v arch="$arch" '
    { sub(/^ +/, "", $1) }
    ($1 == package || $1 == package ":" arch) && $3 ~ (" " arch " Packages$") { print $2 }'
}

# The newest of the versions given, by Debian's ordering.
newest_version() {
  local newest="" version
  for version; do
    if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
      newest=$version
    fi
  done
  printf '%s' "$newest"
}

# Prints the newest version of PACKAGE that both ARCH_A and ARCH_B have,
# from `apt-cache madison` output on standard input. When that is older
# than what one of them offers, says so in one line on standard error;
# when they have none in common, says so and fails.
newest_common_version() {
  local package=$1 arch_a=$2 arch_b=$3 version common=() newest_a newest_b pin madison
  local -a versions_a versions_b
  madison=$(cat)
  mapfile -t versions_a < <(available_versions "$package" "$arch_a" <<<"$madison")
  mapfile -t versions_b < <(available_versions "$package" "$arch_b" <<<"$madison")
  for version in "${versions_a[@]}"; do
    printf '%s\n' "${versions_b[@]}" | grep -qxF -- "$version" && common+=("$version")
  done
  if [ "${#common[@]}" -eq 0 ]; then
    echo "$package: no version that both $arch_a and $arch_b have" \
      "($arch_a: ${versions_a[*]:-none}; $arch_b: ${versions_b[*]:-none});" \
      "wait for the mirror to finish its sync, or check the package name" >&2
    return 1
  fi
  pin=$(newest_version "${common[@]}")
  newest_a=$(newest_version "${versions_a[@]}")
  newest_b=$(newest_version "${versions_b[@]}")
  local newer=""
  [ "$newest_a" = "$pin" ] || newer="$newest_a is $arch_a only"
  [ "$newest_b" = "$pin" ] || newer="${newer:+$newer, }$newest_b is $arch_b only"
  [ -z "$newer" ] ||
    echo "$package pinned to $pin, the newest version both $arch_a and $arch_b have; $newer today" >&2
  printf '%s\n' "$pin"
}

# Prints, one a line, the "Multi-Arch: same" packages among PACKAGE... and
# what apt would install with them for the board's architecture on an
# empty machine (its own choice among alternatives, recommendations aside):
# the packages whose versions must match those of their amd64 twins. Fails
# with apt's own words when apt cannot install them.
multiarch_same_closure() {
  local arch=$VARNIK_BOARD_ARCHITECTURE package simulation
  local -a qualified=()
  for package; do qualified+=("${package%:*}:$arch"); done
  if ! simulation=$(apt-get -s -q -o Dir::State::status=/dev/null \
      install --no-install-recommends "${qualified[@]}" 2>&1); then
    grep '^E:' <<<"$simulation" >&2
    echo "apt cannot install ${qualified[*]} (is the $arch architecture enabled:" \
      "dpkg --add-architecture $arch, then apt-get update?)" >&2
    return 1
  fi
  sed -n "s/^Inst \([^ :]*:$arch\) (.*/\1/p" <<<"$simulation" |
    xargs -r apt-cache show --no-all-versions 2>/dev/null |
    awk '/^Package: / { name = $2 } /^Multi-Arch: same$/ { print name }' | sort -u
}

# An apt preferences text that holds the source of each package in
# PACKAGE=VERSION... at that version, on every architecture, with
# PRIORITY: the packages of the same source that one architecture alone
# installs (libc6-dev beside libc6) must follow their library to that
# version, or apt refuses them. Under 1000 a pin never downgrades; 1001
# does, where a pair had to step back.
source_pins() {
  local priority=$1
  shift
  printf '%s\n' "$@" | xargs -r apt-cache show --no-all-versions 2>/dev/null |
    awk -v priority="$priority" '/^Package: / { source = $2 } /^Source: / { source = $2 }
         /^Version: / && !seen[source " " $2]++ {
           print "Package: src:" source ":any\nPin: version " $2 "\nPin-Priority: " priority "\n" }'
}

# Prints the apt-get arguments that install PACKAGE... with their
# "Multi-Arch: same" dependencies for both the machine's architecture and
# the board's, each at the newest version both have (NAME:ARCH=VERSION).
# Fails, naming the package, when some package has no version in common.
both_architectures_pins() {
  local native package version closure_list madison
  native=$(dpkg --print-architecture)
  closure_list=$(multiarch_same_closure "$@") || return 1
  local -a closure
  mapfile -t closure <<<"$closure_list"
  for package; do
    grep -qxF -- "$package" <<<"$closure_list" && continue
    echo "$package is not a \"Multi-Arch: same\" package for $VARNIK_BOARD_ARCHITECTURE:" \
      "it needs no twin of the same version" >&2
    return 1
  done
  madison=$(for package in "${closure[@]}"; do
    printf '%s\n' "$package:$native" "$package:$VARNIK_BOARD_ARCHITECTURE"
  done | xargs apt-cache madison 2>/dev/null)
  for package in "${closure[@]}"; do
    version=$(newest_common_version "$package" "$native" "$VARNIK_BOARD_ARCHITECTURE" <<<"$madison") ||
      return 1
    printf '%s\n' "$package:$native=$version" "$package:$VARNIK_BOARD_ARCHITECTURE=$version"
  done
}
