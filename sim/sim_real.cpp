// The real libc functions behind the interposed ones, found with RTLD_NEXT
// on first use and kept.
#include "sim_internal.h"

#include <dlfcn.h>
#include <errno.h>

namespace varnik::sim {

const char *const kRealNames[kRealCount] = {
    "open",    "open64",   "openat",  "openat64",  "__open_2", "__open64_2", "__openat_2",
    "__openat64_2", "mmap", "mmap64", "munmap", "close", "fflush", "creat", "creat64",
    "fopen",   "fopen64",  "freopen", "freopen64", "fclose",
    "posix_spawn_file_actions_addopen"};

namespace {
void *g_real[kRealCount];
}  // namespace

void *RealSymbol(RealIndex index) {
  void *p = __atomic_load_n(&g_real[index], __ATOMIC_ACQUIRE);
  if (p == nullptr) {
    p = dlsym(RTLD_NEXT, kRealNames[index]);
    __atomic_store_n(&g_real[index], p, __ATOMIC_RELEASE);
  }
  return p;
}

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

}  // namespace varnik::sim
