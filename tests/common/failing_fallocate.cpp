#include "failing_fallocate.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<int> g_error{0};

using FallocateFn = int (*)(int, int, off64_t, off64_t);

}  // namespace

void FailFallocate(int error) { g_error = error; }

extern "C" int fallocate64(int fd, int mode, off64_t offset, off64_t length) {
  if (const int error = g_error; error != 0) {
    errno = error;
    return -1;
  }
  auto next = reinterpret_cast<FallocateFn>(dlsym(RTLD_NEXT, "fallocate64"));
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(fd, mode, offset, length);
}

bool HasStorage(const char *path, long long offset, long long length) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool data = lseek64(fd, offset, SEEK_DATA) == offset &&
                    lseek64(fd, offset, SEEK_HOLE) >= offset + length;
  close(fd);
  return data;
}

bool ReportsHoles(const char *path) { return !HasStorage(path, 0, 1); }
