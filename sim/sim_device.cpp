// The simulated device's calls: an open of the physical memory device opens
// the board file instead, and the calls on what it returned are counted,
// traced and, when armed, failed.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "board_file.h"

namespace varnik::sim {

namespace {

const char kDevice[] = "/dev/mem";

// Takes the lock if fd is open on the device, and leaves it free if not.
bool LockIfDeviceDescriptor(int fd) {
  Init();
  Lock();
  if (IsDeviceDescriptor(fd)) return true;
  Unlock();
  return false;
}

}  // namespace

// The device by its usual name, or by any other name for it (a symlink,
// "//dev/mem", a path relative to /dev) where the machine has one: the
// real physical memory device is never opened through open or openat from
// under the board.
bool IsDevice(int dirfd, const char *path) {
  if (path == nullptr) return false;
  if (strcmp(path, kDevice) == 0) return true;
  struct stat st;
  const int saved_errno = errno;
  const bool is_device = fstatat(dirfd, path, &st, 0) == 0 && IsMemoryDevice(st);
  errno = saved_errno;
  return is_device;
}

int DeviceOpen(int flags) {
  Init();
  int saved_errno = errno;
  Lock();
  size_t pending = Pending();
  int error = 0;
  int fd = -1;
  if (FaultFires(VARNIK_SIM_OPEN, &error)) {
  } else if (!HasBoardLocked()) {
    error = ENOENT;
  } else {
    fd = OpenBoardLocked(flags);
    if (fd < 0) {
      error = errno;
    } else if (!RecordDescriptor(fd)) {
      RealClose(fd);
      fd = -1;
      error = EMFILE;
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
  if (DescriptorCount() > 0) {
    char line[64];
    snprintf(line, sizeof line, "fflush stdout pending=%zu", Pending());
    Trace(line, false, 0);
  }
  Unlock();
  errno = saved_errno;
}

bool DeviceMmap(void *addr, size_t length, int prot, int flags, int fd, uint64_t offset,
                void **result) {
  if ((flags & MAP_ANONYMOUS) != 0 || fd < 0) return false;
  int saved_errno = errno;
  if (!LockIfDeviceDescriptor(fd)) return false;
  size_t pending = Pending();
  int error = 0;
  void *p = MAP_FAILED;
  if (FaultFires(VARNIK_SIM_MMAP, &error)) {
  } else if (MappingTableFull()) {
    error = ENOMEM;
  } else {
    Mmap64Fn real = Real<Mmap64Fn>(kRealMmap64);
    if (real == nullptr) {
      error = ENOSYS;
    } else {
      p = real(addr, length, prot, flags, fd, static_cast<off64_t>(offset));
      if (p == MAP_FAILED)
        error = errno;
      else
        RecordMapping(reinterpret_cast<uintptr_t>(p), length, offset);
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

bool DeviceMunmap(void *addr, size_t length, int *result) {
  Init();
  MunmapFn real = Real<MunmapFn>(kRealMunmap);
  if (real == nullptr) {
    errno = ENOSYS;
    *result = -1;
    return true;
  }
  int saved_errno = errno;
  Lock();
  const uintptr_t start = reinterpret_cast<uintptr_t>(addr);
  uint64_t offset = 0;
  if (!FindMapping(start, &offset)) {
    Unlock();
    return false;
  }
  size_t pending = Pending();
  int error = 0;
  *result = -1;
  if (!FaultFires(VARNIK_SIM_MUNMAP, &error)) {
    *result = real(addr, length);
    if (*result == 0)
      ForgetMapping(start);
    else
      error = errno;
  }
  char line[160];
  snprintf(line, sizeof line, "munmap length=%zu offset=0x%llx pending=%zu", length,
           static_cast<unsigned long long>(offset), pending);
  Trace(line, *result != 0, error);
  Unlock();
  errno = *result != 0 ? error : saved_errno;
  return true;
}

bool DeviceClose(int fd, int *result) {
  int saved_errno = errno;
  if (!LockIfDeviceDescriptor(fd)) return false;
  // Forget the descriptor before the kernel may hand its number out again;
  // holding the lock, no other thread can record the reused number early.
  ForgetDescriptor(fd);
  size_t pending = Pending();
  *result = RealClose(fd);
  int error = *result != 0 ? errno : 0;
  char line[64];
  snprintf(line, sizeof line, "close pending=%zu", pending);
  Trace(line, *result != 0, error);
  Unlock();
  errno = *result != 0 ? error : saved_errno;
  return true;
}

void DeviceClosedByLibc(int fd) {
  const int saved_errno = errno;
  if (!LockIfDeviceDescriptor(fd)) return;
  ForgetDescriptor(fd);
  char line[64];
  snprintf(line, sizeof line, "close pending=%zu", Pending());
  Trace(line, false, 0);
  Unlock();
  errno = saved_errno;
}

}  // namespace varnik::sim
