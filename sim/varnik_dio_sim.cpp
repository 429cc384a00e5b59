// Simulated board: the physical memory device of an unmodified program is
// replaced by a sparse board file (see varnik_dio_sim.h for the behaviour
// seen from outside).
//
// This file defines the entry points for both offset widths itself (open and
// open64, mmap and mmap64, ...), so it must see the plain declarations, not
// the ones that the 64-bit file offset mode redirects to the *64 names.
// Likewise the fortified inline open wrappers must stay out of the way.
#undef _FILE_OFFSET_BITS
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include "varnik_dio_sim.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#define VARNIK_EXPORT __attribute__((visibility("default")))
#define VARNIK_HIDDEN __attribute__((visibility("hidden")))

// Fortified entry points: callers compiled with _FORTIFY_SOURCE reach these
// when the flags are not known at compile time. glibc declares them only in
// its fortify headers.
extern "C" {
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
}

namespace {

const char kDevice[] = "/dev/mem";
const unsigned kMemoryDeviceMajor = 1;  // Linux's character device 1:1
const unsigned kMemoryDeviceMinor = 1;
// The board file covers the whole 32-bit physical address space.
const uint64_t kBoardSize = UINT64_C(0x100000000);
const uint64_t kRegisterPages[] = {UINT64_C(0xFDAE0000), UINT64_C(0xFDAF0000)};
const size_t kPageSize = 4096;
const unsigned char kRegisterReset = 0x03;

// Flags that would create or truncate a file: the device has no such thing,
// and the board file must never be emptied by an open.
const int kCreateFlags = O_CREAT | O_EXCL | O_TRUNC | (__O_TMPFILE & ~O_DIRECTORY);

const size_t kMaxDescriptors = 1024;
const size_t kMaxMappings = 1024;

// ---------------------------------------------------------------------------
// The real libc functions, looked up once with RTLD_NEXT.

enum RealIndex {
  kRealOpen,
  kRealOpen64,
  kRealOpenat,
  kRealOpenat64,
  kRealOpen2,
  kRealOpen64_2,
  kRealOpenat2,
  kRealOpenat64_2,
  kRealMmap,
  kRealMmap64,
  kRealMunmap,
  kRealClose,
  kRealFflush,
  kRealCount
};

const char *const kRealNames[kRealCount] = {
    "open",     "open64",     "openat",      "openat64", "__open_2", "__open64_2",
    "__openat_2", "__openat64_2", "mmap", "mmap64",   "munmap",   "close", "fflush"};

void *g_real[kRealCount];

template <typename Fn>
Fn Real(RealIndex index) {
  void *p = __atomic_load_n(&g_real[index], __ATOMIC_ACQUIRE);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, kRealNames[index]);
    __atomic_store_n(&g_real[index], p, __ATOMIC_RELEASE);
  }
  Fn fn;
  static_assert(sizeof fn == sizeof p, "function and data pointers differ in size");
  memcpy(&fn, &p, sizeof fn);
  return fn;
}

using OpenFn = int (*)(const char *, int, ...);
using OpenatFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using Openat2Fn = int (*)(int, const char *, int);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using Mmap64Fn = void *(*)(void *, size_t, int, int, int, off64_t);
using MunmapFn = int (*)(void *, size_t);
using CloseFn = int (*)(int);
using FflushFn = int (*)(FILE *);

int RealOpen64(const char *path, int flags, mode_t mode) {
  OpenFn fn = Real<OpenFn>(kRealOpen64);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return fn(path, flags, mode);
}

int RealClose(int fd) {
  CloseFn fn = Real<CloseFn>(kRealClose);
  if (fn == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return fn(fd);
}

// ---------------------------------------------------------------------------
// Board state, all guarded by g_lock.

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t g_once = PTHREAD_ONCE_INIT;

char g_board[PATH_MAX];  // empty: no board
int g_trace_fd = -1;

struct Fault {
  int error;
  unsigned remaining;  // 0: disarmed
};
Fault g_faults[3];

int g_descriptors[kMaxDescriptors];
size_t g_descriptor_count;

struct Mapping {
  uintptr_t start;
  size_t length;
  uint64_t offset;
};
Mapping g_mappings[kMaxMappings];
size_t g_mapping_count;

unsigned g_temp_counter;

void Lock() { pthread_mutex_lock(&g_lock); }
void Unlock() { pthread_mutex_unlock(&g_lock); }

// A fork while another thread holds the lock must not leave the child with
// a lock nobody will release.
void ForkPrepare() { Lock(); }
void ForkRelease() { Unlock(); }

void WriteStderr(const char *text) {
  size_t length = strlen(text);
  if (write(STDERR_FILENO, text, length) < 0) {
    // Nothing sensible to do when stderr is gone.
  }
}

// True if the armed fault of this kind fires on the current call.
bool FaultFires(varnik_sim_call call, int *error) {
  Fault &fault = g_faults[call];
  if (fault.remaining == 0) return false;
  if (--fault.remaining != 0) return false;
  *error = fault.error;
  return true;
}

size_t Pending() { return __fpending(stdout); }

// Appends one trace line (without its newline) and the error suffix.
void Trace(const char *line, bool failed, int error) {
  if (g_trace_fd < 0) return;
  char buffer[320];
  int length;
  if (failed)
    length = snprintf(buffer, sizeof buffer, "%s error=%d\n", line, error);
  else
    length = snprintf(buffer, sizeof buffer, "%s\n", line);
  if (length <= 0) return;
  if (static_cast<size_t>(length) >= sizeof buffer) length = sizeof buffer - 1;
  if (write(g_trace_fd, buffer, static_cast<size_t>(length)) < 0) {
    // A broken trace must not change what the program sees.
  }
}

long DescriptorIndex(int fd) {
  for (size_t i = 0; i < g_descriptor_count; ++i)
    if (g_descriptors[i] == fd) return static_cast<long>(i);
  return -1;
}

long MappingIndex(uintptr_t start) {
  for (size_t i = 0; i < g_mapping_count; ++i)
    if (g_mappings[i].start == start) return static_cast<long>(i);
  return -1;
}

void RemoveMapping(size_t index) { g_mappings[index] = g_mappings[--g_mapping_count]; }

// Any mapping we still list inside a range the kernel has just handed out
// again was replaced behind our back (MAP_FIXED): forget it.
void ForgetOverlappingMappings(uintptr_t start, size_t length) {
  for (size_t i = 0; i < g_mapping_count;) {
    const Mapping &m = g_mappings[i];
    if (m.start < start + length && start < m.start + m.length)
      RemoveMapping(i);
    else
      ++i;
  }
}

bool WriteAll(int fd, const unsigned char *data, size_t length, off64_t offset) {
  while (length > 0) {
    ssize_t n = pwrite64(fd, data, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

// Creates the board file at path unless it exists. The new board is built
// completely under a temporary name beside it and then linked into place,
// so that no program ever sees a board without its reset values. If another
// program links its board first, that one is kept.
int CreateBoard(const char *path) {
  char temp[PATH_MAX];
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    unsigned serial = __atomic_fetch_add(&g_temp_counter, 1, __ATOMIC_RELAXED);
    int n = snprintf(temp, sizeof temp, "%s.%ld.%u.new", path,
                     static_cast<long>(getpid()), serial);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temp) {
      errno = ENAMETOOLONG;
      return -1;
    }
    fd = RealOpen64(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return -1;
  }
  if (fd < 0) return -1;

  unsigned char page[kPageSize];
  memset(page, kRegisterReset, sizeof page);
  bool ok = ftruncate64(fd, static_cast<off64_t>(kBoardSize)) == 0;
  for (uint64_t base : kRegisterPages)
    ok = ok && WriteAll(fd, page, sizeof page, static_cast<off64_t>(base));
  int error = ok ? 0 : errno;
  if (RealClose(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && link(temp, path) != 0 && errno != EEXIST) {
    ok = false;
    error = errno;
  }
  unlink(temp);
  if (!ok) {
    errno = error;
    return -1;
  }
  return 0;
}

int SetBoardLocked(const char *path) {
  if (path == nullptr) {
    g_board[0] = '\0';
    return 0;
  }
  size_t length = strlen(path);
  if (length == 0) {
    errno = ENOENT;
    return -1;
  }
  // A relative path names the board in the current folder now, not in
  // whatever folder the program has moved to by the time it opens it.
  size_t prefix = 0;
  if (path[0] != '/') {
    if (getcwd(g_board, sizeof g_board) == nullptr) {
      g_board[0] = '\0';
      return -1;
    }
    prefix = strlen(g_board);
    g_board[prefix++] = '/';
  }
  if (prefix + length >= sizeof g_board) {
    g_board[0] = '\0';
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(g_board + prefix, path, length + 1);
  path = g_board;
  if (access(path, F_OK) == 0) return 0;
  return CreateBoard(path);
}

int SetTraceLocked(const char *path) {
  int fd = -1;
  if (path != nullptr) {
    fd = RealOpen64(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
  }
  if (g_trace_fd >= 0) RealClose(g_trace_fd);
  g_trace_fd = fd;
  return 0;
}

// Parses "call:errno[:nth]"; returns false if the text is malformed.
bool ParseFault(const char *text, varnik_sim_call *call, int *error, unsigned *nth) {
  static const struct {
    const char *name;
    varnik_sim_call call;
  } kCalls[] = {{"open:", VARNIK_SIM_OPEN}, {"mmap:", VARNIK_SIM_MMAP}, {"munmap:", VARNIK_SIM_MUNMAP}};
  const char *rest = nullptr;
  for (const auto &entry : kCalls) {
    size_t length = strlen(entry.name);
    if (strncmp(text, entry.name, length) == 0) {
      *call = entry.call;
      rest = text + length;
    }
  }
  if (rest == nullptr) return false;

  // Decimal numbers only, no sign, no leading spaces, at least 1.
  auto number = [](const char **p, unsigned long *value) {
    if (**p < '0' || **p > '9') return false;
    char *end;
    errno = 0;
    *value = strtoul(*p, &end, 10);
    if (errno != 0 || *value == 0) return false;
    *p = end;
    return true;
  };
  unsigned long value;
  if (!number(&rest, &value) || value > 4095) return false;
  *error = static_cast<int>(value);
  *nth = 1;
  if (*rest == ':') {
    ++rest;
    if (!number(&rest, &value) || value > UINT_MAX) return false;
    *nth = static_cast<unsigned>(value);
  }
  return *rest == '\0';
}

void ReportEnvironmentProblem(const char *variable, const char *value, const char *problem) {
  char line[512];
  snprintf(line, sizeof line, "varnik_dio_sim: %s=\"%.200s\" ignored: %s\n", variable, value,
           problem);
  WriteStderr(line);
}

void LoadEnvironment() {
  pthread_atfork(ForkPrepare, ForkRelease, ForkRelease);
  int saved_errno = errno;
  Lock();
  const char *board = getenv("VARNIK_SIM_BOARD");
  if (board != nullptr && board[0] != '\0' && SetBoardLocked(board) != 0)
    ReportEnvironmentProblem("VARNIK_SIM_BOARD", board, strerror(errno));
  const char *trace = getenv("VARNIK_SIM_TRACE");
  if (trace != nullptr && trace[0] != '\0' && SetTraceLocked(trace) != 0)
    ReportEnvironmentProblem("VARNIK_SIM_TRACE", trace, strerror(errno));
  const char *fail = getenv("VARNIK_SIM_FAIL");
  if (fail != nullptr && fail[0] != '\0') {
    varnik_sim_call call = VARNIK_SIM_OPEN;
    int error = 0;
    unsigned nth = 0;
    if (ParseFault(fail, &call, &error, &nth))
      g_faults[call] = Fault{error, nth};
    else
      ReportEnvironmentProblem("VARNIK_SIM_FAIL", fail,
                               "expected call:errno[:nth] with call open, mmap or munmap "
                               "and errno, nth positive decimal numbers");
  }
  Unlock();
  errno = saved_errno;
}

void Init() { pthread_once(&g_once, LoadEnvironment); }

__attribute__((constructor)) void OnLoad() { Init(); }

// The device by its usual name, or by any other name for it (a symlink,
// "//dev/mem", a path relative to /dev) where the machine has one: the
// real physical memory device is never opened through open or openat from
// under the board.
bool IsDevice(int dirfd, const char *path) {
  if (path == nullptr) return false;
  if (strcmp(path, kDevice) == 0) return true;
  struct stat st;
  const int saved_errno = errno;
  const bool is_device = fstatat(dirfd, path, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
                         st.st_rdev == makedev(kMemoryDeviceMajor, kMemoryDeviceMinor);
  errno = saved_errno;
  return is_device;
}

// An open of the device: open the board file instead.
int DeviceOpen(int flags) {
  Init();
  int saved_errno = errno;
  Lock();
  size_t pending = Pending();
  int error = 0;
  int fd = -1;
  if (FaultFires(VARNIK_SIM_OPEN, &error)) {
  } else if (g_board[0] == '\0') {
    error = ENOENT;
  } else {
    int board_flags = flags & ~kCreateFlags;
    fd = RealOpen64(g_board, board_flags, 0);
    if (fd < 0 && errno == ENOENT && CreateBoard(g_board) == 0)
      fd = RealOpen64(g_board, board_flags, 0);
    if (fd < 0) {
      error = errno;
    } else if (g_descriptor_count == kMaxDescriptors) {
      RealClose(fd);
      fd = -1;
      error = EMFILE;
    } else {
      g_descriptors[g_descriptor_count++] = fd;
    }
  }
  char line[128];
  snprintf(line, sizeof line, "open flags=0x%x pending=%zu", static_cast<unsigned>(flags), pending);
  Trace(line, fd < 0, error);
  Unlock();
  errno = fd < 0 ? error : saved_errno;
  return fd;
}

// A flush of standard output while a device descriptor is open is traced:
// it shows where a program flushes between its device calls.
void TraceStdoutFlush() {
  Init();
  int saved_errno = errno;
  Lock();
  if (g_descriptor_count > 0) {
    char line[64];
    snprintf(line, sizeof line, "fflush stdout pending=%zu", Pending());
    Trace(line, false, 0);
  }
  Unlock();
  errno = saved_errno;
}

int ModeArgument(int flags, va_list args) {
  return __OPEN_NEEDS_MODE(flags) ? va_arg(args, int) : 0;
}

// Maps fd at a device offset if fd is a device descriptor; returns false
// (and does nothing) otherwise.
bool DeviceMmap(void *addr, size_t length, int prot, int flags, int fd, uint64_t offset,
                void **result) {
  if ((flags & MAP_ANONYMOUS) != 0 || fd < 0) return false;
  Init();
  int saved_errno = errno;
  Lock();
  if (DescriptorIndex(fd) < 0) {
    Unlock();
    return false;
  }
  size_t pending = Pending();
  int error = 0;
  void *p = MAP_FAILED;
  if (FaultFires(VARNIK_SIM_MMAP, &error)) {
  } else if (g_mapping_count == kMaxMappings) {
    error = ENOMEM;
  } else {
    Mmap64Fn real = Real<Mmap64Fn>(kRealMmap64);
    if (real == nullptr) {
      error = ENOSYS;
    } else {
      p = real(addr, length, prot, flags, fd, static_cast<off64_t>(offset));
      if (p == MAP_FAILED) {
        error = errno;
      } else {
        uintptr_t start = reinterpret_cast<uintptr_t>(p);
        ForgetOverlappingMappings(start, length);
        g_mappings[g_mapping_count++] = Mapping{start, length, offset};
      }
    }
  }
  char line[192];
  snprintf(line, sizeof line, "mmap length=%zu prot=0x%x flags=0x%x offset=0x%llx pending=%zu",
           length, static_cast<unsigned>(prot), static_cast<unsigned>(flags),
           static_cast<unsigned long long>(offset), pending);
  Trace(line, p == MAP_FAILED, error);
  Unlock();
  errno = p == MAP_FAILED ? error : saved_errno;
  *result = p;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Interposed libc functions.

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
  Init();
  MunmapFn real = Real<MunmapFn>(kRealMunmap);
  if (real == nullptr) return errno = ENOSYS, -1;
  int saved_errno = errno;
  Lock();
  long index = MappingIndex(reinterpret_cast<uintptr_t>(addr));
  if (index < 0) {
    Unlock();
    return real(addr, length);
  }
  size_t pending = Pending();
  int error = 0;
  int result = -1;
  uint64_t offset = g_mappings[index].offset;
  if (!FaultFires(VARNIK_SIM_MUNMAP, &error)) {
    result = real(addr, length);
    if (result == 0)
      RemoveMapping(static_cast<size_t>(index));
    else
      error = errno;
  }
  char line[160];
  snprintf(line, sizeof line, "munmap length=%zu offset=0x%llx pending=%zu", length,
           static_cast<unsigned long long>(offset), pending);
  Trace(line, result != 0, error);
  Unlock();
  errno = result != 0 ? error : saved_errno;
  return result;
}

VARNIK_EXPORT int close(int fd) {
  Init();
  int saved_errno = errno;
  Lock();
  long index = DescriptorIndex(fd);
  if (index < 0) {
    Unlock();
    return RealClose(fd);
  }
  // Forget the descriptor before the kernel may hand its number out again;
  // holding the lock, no other thread can record the reused number early.
  g_descriptors[index] = g_descriptors[--g_descriptor_count];
  size_t pending = Pending();
  int result = RealClose(fd);
  int error = result != 0 ? errno : 0;
  char line[64];
  snprintf(line, sizeof line, "close pending=%zu", pending);
  Trace(line, result != 0, error);
  Unlock();
  errno = result != 0 ? error : saved_errno;
  return result;
}

VARNIK_EXPORT int fflush(FILE *stream) {
  if (stream == stdout && stream != nullptr) TraceStdoutFlush();
  FflushFn real = Real<FflushFn>(kRealFflush);
  if (real == nullptr) return errno = ENOSYS, EOF;
  return real(stream);
}

// Addresses of this library's own definitions, whatever the process
// resolves the public names to.
VARNIK_HIDDEN int self_open(const char *, int, ...) __attribute__((alias("open"), nonnull(1)));
VARNIK_HIDDEN int self_open64(const char *, int, ...)
    __attribute__((alias("open64"), nonnull(1)));
VARNIK_HIDDEN int self_openat(int, const char *, int, ...)
    __attribute__((alias("openat"), nonnull(2)));
VARNIK_HIDDEN int self_openat64(int, const char *, int, ...)
    __attribute__((alias("openat64"), nonnull(2)));
VARNIK_HIDDEN int self_open_2(const char *, int) __attribute__((alias("__open_2")));
VARNIK_HIDDEN int self_open64_2(const char *, int) __attribute__((alias("__open64_2")));
VARNIK_HIDDEN int self_openat_2(int, const char *, int) __attribute__((alias("__openat_2")));
VARNIK_HIDDEN int self_openat64_2(int, const char *, int) __attribute__((alias("__openat64_2")));
VARNIK_HIDDEN void *self_mmap(void *, size_t, int, int, int, off_t) noexcept
    __attribute__((alias("mmap")));
VARNIK_HIDDEN void *self_mmap64(void *, size_t, int, int, int, off64_t) noexcept
    __attribute__((alias("mmap64")));
VARNIK_HIDDEN int self_munmap(void *, size_t) noexcept __attribute__((alias("munmap")));
VARNIK_HIDDEN int self_close(int) __attribute__((alias("close")));
VARNIK_HIDDEN int self_fflush(FILE *) __attribute__((alias("fflush")));

// ---------------------------------------------------------------------------
// Steering from inside the process.

VARNIK_EXPORT int varnik_sim_set_board(const char *path) {
  Init();
  Lock();
  int result = SetBoardLocked(path);
  int error = errno;
  Unlock();
  errno = error;
  return result;
}

VARNIK_EXPORT int varnik_sim_set_trace(const char *path) {
  Init();
  Lock();
  int result = SetTraceLocked(path);
  int error = errno;
  Unlock();
  errno = error;
  return result;
}

VARNIK_EXPORT void varnik_sim_fail(enum varnik_sim_call call, int error, unsigned nth) {
  if (call < VARNIK_SIM_OPEN || call > VARNIK_SIM_MUNMAP) return;
  Init();
  Lock();
  // A fault without an error number would fail a call yet leave errno 0.
  g_faults[call] = Fault{error, error > 0 ? nth : 0};
  Unlock();
}

VARNIK_EXPORT unsigned varnik_sim_open_descriptors(void) {
  Lock();
  unsigned count = static_cast<unsigned>(g_descriptor_count);
  Unlock();
  return count;
}

VARNIK_EXPORT unsigned varnik_sim_open_mappings(void) {
  Lock();
  unsigned count = static_cast<unsigned>(g_mapping_count);
  Unlock();
  return count;
}

VARNIK_EXPORT int varnik_sim_interposing(void) {
  void *const own[kRealCount] = {
      reinterpret_cast<void *>(&self_open),     reinterpret_cast<void *>(&self_open64),
      reinterpret_cast<void *>(&self_openat),   reinterpret_cast<void *>(&self_openat64),
      reinterpret_cast<void *>(&self_open_2),   reinterpret_cast<void *>(&self_open64_2),
      reinterpret_cast<void *>(&self_openat_2), reinterpret_cast<void *>(&self_openat64_2),
      reinterpret_cast<void *>(&self_mmap),     reinterpret_cast<void *>(&self_mmap64),
      reinterpret_cast<void *>(&self_munmap),   reinterpret_cast<void *>(&self_close),
      reinterpret_cast<void *>(&self_fflush)};
  for (int i = 0; i < kRealCount; ++i)
    if (dlsym(RTLD_DEFAULT, kRealNames[i]) != own[i]) return 0;
  return 1;
}

}  // extern "C"
