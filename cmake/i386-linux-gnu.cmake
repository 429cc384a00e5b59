# The board's own target: 32-bit x86 Linux, built on an x86-64 host with
# gcc's multilib support. File offsets stay 64 bits wide (the top-level
# CMakeLists sets _FILE_OFFSET_BITS=64 for every target), so registers above
# 2 GiB are mapped at the right place.
#
#   cmake -S . -B build-i386 --toolchain cmake/i386-linux-gnu.cmake
#   cmake --build build-i386 -j && ctest --test-dir build-i386
#
# Tests run under qemu-i386 (Debian's qemu-user) where the host cannot
# execute 32-bit programs itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(VARNIK_QEMU_I386 qemu-i386)
if(VARNIK_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNIK_QEMU_I386})
endif()

# Libraries of the target (libmodbus, ...) are Debian's i386 packages,
# installed beside the host's ones through multiarch: pkg-config must look
# at theirs, not at the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")

# Installed in Debian's multiarch layout (lib/i386-linux-gnu), beside the
# host's own libraries: GNUInstallDirs only picks that folder by itself
# when it does not cross-compile.
set(CMAKE_INSTALL_LIBDIR lib/i386-linux-gnu CACHE PATH "Object code libraries (lib/i386-linux-gnu)")
