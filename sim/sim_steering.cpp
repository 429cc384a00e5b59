// The steering API of varnik_dio_sim.h: tests set the board, the trace and
// faults from inside the process, and look at what is open.
#include "sim_internal.h"

#include <dlfcn.h>
#include <errno.h>

using namespace varnik::sim;

extern "C" {

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
  ArmFaultLocked(call, error, error > 0 ? nth : 0);
  Unlock();
}

VARNIK_EXPORT unsigned varnik_sim_open_descriptors(void) {
  Lock();
  unsigned count = static_cast<unsigned>(DescriptorCount());
  Unlock();
  return count;
}

VARNIK_EXPORT unsigned varnik_sim_open_mappings(void) {
  Lock();
  unsigned count = static_cast<unsigned>(MappingCount());
  Unlock();
  return count;
}

VARNIK_EXPORT int varnik_sim_interposing(void) {
  void *const own[] = {
      reinterpret_cast<void *>(&self_open),     reinterpret_cast<void *>(&self_open64),
      reinterpret_cast<void *>(&self_openat),   reinterpret_cast<void *>(&self_openat64),
      reinterpret_cast<void *>(&self_open_2),   reinterpret_cast<void *>(&self_open64_2),
      reinterpret_cast<void *>(&self_openat_2), reinterpret_cast<void *>(&self_openat64_2),
      reinterpret_cast<void *>(&self_mmap),     reinterpret_cast<void *>(&self_mmap64),
      reinterpret_cast<void *>(&self_munmap),   reinterpret_cast<void *>(&self_close),
      reinterpret_cast<void *>(&self_fflush),   reinterpret_cast<void *>(&self_creat),
      reinterpret_cast<void *>(&self_creat64),  reinterpret_cast<void *>(&self_fopen),
      reinterpret_cast<void *>(&self_fopen64),  reinterpret_cast<void *>(&self_freopen),
      reinterpret_cast<void *>(&self_freopen64), reinterpret_cast<void *>(&self_fclose),
      reinterpret_cast<void *>(&self_spawn_addopen)};
  static_assert(sizeof own / sizeof own[0] == kRealCount, "one definition per replaced call");
  for (int i = 0; i < kRealCount; ++i)
    if (dlsym(RTLD_DEFAULT, kRealNames[i]) != own[i]) return 0;
  return 1;
}

}  // extern "C"
