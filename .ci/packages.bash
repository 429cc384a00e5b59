# What CI installs beyond the README's test command, which installs the
# build's and the tests' packages itself (packaging/need-debian-packages.bash,
# sourced first: the packaging lists are its own). Sourced by .ci/run and by
# the test that checks the whole list installs with the mirror as it is
# (tests/packaging/ci_packages.bats).

# For the machine's own architecture: the 32-bit build and its emulator
# (its static build registered with the kernel where the kernel cannot
# run 32-bit programs itself),
# the sanitizer and fuzzer builds, a Turkish locale, the Debian package
# tools, and sudo for the README's test command run as a user.
VARNIK_CI_PACKAGES=(
  "${VARNIK_I386_COMPILER_PACKAGES[@]}" qemu-user qemu-user-static
  clang libclang-rt-dev
  locales
  "${VARNIK_PACKAGING_PACKAGES[@]}" fakeroot
  sudo
)

# "Multi-Arch: same" packages needed for both amd64 and the board's i386:
# the i386 runtime the i386 packages are built against, and the i386
# libraries the 32-bit programs link. Installed at the newest version both
# architectures have (packaging/multiarch-pins.bash).
VARNIK_CI_BOTH_ARCHITECTURES=("${VARNIK_I386_LIBRARIES[@]}")
