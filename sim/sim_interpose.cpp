// The libc functions the board replaces that deal in descriptors. Each one
// sends a call on the device to the board and passes every other call to
// libc unchanged. (The stdio ones are in sim_interpose_streams.cpp.)
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/mman.h>

// Fortified entry points: callers compiled with _FORTIFY_SOURCE reach these
// when the flags are not known at compile time. glibc declares them only in
// its fortify headers.
extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
}

using namespace varnik::sim;

namespace {

int ModeArgument(int flags, va_list args) {
  return __OPEN_NEEDS_MODE(flags) ? va_arg(args, int) : 0;
}

}  // namespace

extern "C" {

VARNIK_EXPORT int open(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int mode = ModeArgument(flags, args);
  va_end(args);
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(flags);
  OpenFn real = Real<OpenFn>(kRealOpen);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(path, flags, mode);
}

VARNIK_EXPORT int open64(const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int mode = ModeArgument(flags, args);
  va_end(args);
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(flags);
  return RealOpen64(path, flags, static_cast<mode_t>(mode));
}

VARNIK_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int mode = ModeArgument(flags, args);
  va_end(args);
  if (IsDevice(dirfd, path)) return DeviceOpen(flags);
  OpenatFn real = Real<OpenatFn>(kRealOpenat);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(dirfd, path, flags, mode);
}

VARNIK_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int mode = ModeArgument(flags, args);
  va_end(args);
  if (IsDevice(dirfd, path)) return DeviceOpen(flags);
  OpenatFn real = Real<OpenatFn>(kRealOpenat64);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(dirfd, path, flags, mode);
}

// libc's own creat opens inside libc, out of the board's reach: on the
// device it would open the real one, write-only.
VARNIK_EXPORT int creat(const char *path, mode_t mode) {
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(O_WRONLY | O_CREAT | O_TRUNC);
  CreatFn real = Real<CreatFn>(kRealCreat);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(path, mode);
}

VARNIK_EXPORT int creat64(const char *path, mode_t mode) {
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(O_WRONLY | O_CREAT | O_TRUNC);
  CreatFn real = Real<CreatFn>(kRealCreat64);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(path, mode);
}

// A spawned program opens the path itself, between fork and exec, inside
// libc: on the device it gets the board file instead.
VARNIK_EXPORT int posix_spawn_file_actions_addopen(posix_spawn_file_actions_t *actions, int fd,
                                                   const char *path, int flags,
                                                   mode_t mode) noexcept {
  if (IsDevice(AT_FDCWD, path)) return DeviceSpawnAddopen(actions, fd, flags, mode);
  SpawnAddopenFn real = Real<SpawnAddopenFn>(kRealSpawnAddopen);
  if (real == nullptr) return ENOSYS;
  return real(actions, fd, path, flags, mode);
}

VARNIK_EXPORT int __open_2(const char *path, int flags) {
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(flags);
  Open2Fn real = Real<Open2Fn>(kRealOpen2);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(path, flags);
}

VARNIK_EXPORT int __open64_2(const char *path, int flags) {
  if (IsDevice(AT_FDCWD, path)) return DeviceOpen(flags);
  Open2Fn real = Real<Open2Fn>(kRealOpen64_2);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(path, flags);
}

VARNIK_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  if (IsDevice(dirfd, path)) return DeviceOpen(flags);
  Openat2Fn real = Real<Openat2Fn>(kRealOpenat2);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(dirfd, path, flags);
}

VARNIK_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  if (IsDevice(dirfd, path)) return DeviceOpen(flags);
  Openat2Fn real = Real<Openat2Fn>(kRealOpenat64_2);
  if (real == nullptr) return errno = ENOSYS, -1;
  return real(dirfd, path, flags);
}

// With 32-bit off_t, mmap takes the offset as unsigned, as glibc does: a
// physical address above 2 GiB stays above 2 GiB.
VARNIK_EXPORT void *mmap(void *addr, size_t length, int prot, int flags, int fd,
                         off_t offset) noexcept {
  void *result;
  uint64_t device_offset = sizeof(off_t) < sizeof(uint64_t)
                               ? static_cast<uint64_t>(static_cast<unsigned long>(offset))
                               : static_cast<uint64_t>(offset);
  if (DeviceMmap(addr, length, prot, flags, fd, device_offset, &result)) return result;
  MmapFn real = Real<MmapFn>(kRealMmap);
  if (real == nullptr) return errno = ENOSYS, MAP_FAILED;
  return real(addr, length, prot, flags, fd, offset);
}

VARNIK_EXPORT void *mmap64(void *addr, size_t length, int prot, int flags, int fd,
                           off64_t offset) noexcept {
  void *result;
  if (DeviceMmap(addr, length, prot, flags, fd, static_cast<uint64_t>(offset), &result))
    return result;
  Mmap64Fn real = Real<Mmap64Fn>(kRealMmap64);
  if (real == nullptr) return errno = ENOSYS, MAP_FAILED;
  return real(addr, length, prot, flags, fd, offset);
}

VARNIK_EXPORT int munmap(void *addr, size_t length) noexcept {
  int result;
  if (DeviceMunmap(addr, length, &result)) return result;
  return Real<MunmapFn>(kRealMunmap)(addr, length);
}

VARNIK_EXPORT int close(int fd) {
  int result;
  if (DeviceClose(fd, &result)) return result;
  return RealClose(fd);
}

VARNIK_EXPORT int fflush(FILE *stream) {
  if (stream == stdout && stream != nullptr) TraceStdoutFlush();
  FflushFn real = Real<FflushFn>(kRealFflush);
  if (real == nullptr) return errno = ENOSYS, EOF;
  return real(stream);
}

// libc's other public names for open and open64.
VARNIK_EXPORT int __open(const char *, int, ...) __attribute__((alias("open"), nonnull(1)));
VARNIK_EXPORT int __open64(const char *, int, ...) __attribute__((alias("open64"), nonnull(1)));

int self_open(const char *, int, ...) __attribute__((alias("open"), nonnull(1)));
int self_open64(const char *, int, ...) __attribute__((alias("open64"), nonnull(1)));
int self_openat(int, const char *, int, ...) __attribute__((alias("openat"), nonnull(2)));
int self_openat64(int, const char *, int, ...) __attribute__((alias("openat64"), nonnull(2)));
int self_open_2(const char *, int) __attribute__((alias("__open_2")));
int self_open64_2(const char *, int) __attribute__((alias("__open64_2")));
int self_openat_2(int, const char *, int) __attribute__((alias("__openat_2")));
int self_openat64_2(int, const char *, int) __attribute__((alias("__openat64_2")));
void *self_mmap(void *, size_t, int, int, int, off_t) noexcept __attribute__((alias("mmap")));
void *self_mmap64(void *, size_t, int, int, int, off64_t) noexcept
    __attribute__((alias("mmap64")));
int self_munmap(void *, size_t) noexcept __attribute__((alias("munmap")));
int self_close(int) __attribute__((alias("close")));
int self_fflush(FILE *) __attribute__((alias("fflush")));
int self_creat(const char *, mode_t) __attribute__((alias("creat"), nonnull(1)));
int self_creat64(const char *, mode_t) __attribute__((alias("creat64"), nonnull(1)));
int self_spawn_addopen(posix_spawn_file_actions_t *, int, const char *, int, mode_t) noexcept
    __attribute__((alias("posix_spawn_file_actions_addopen"), nonnull(1, 3)));

}  // extern "C"
