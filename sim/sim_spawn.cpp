// A spawned program's open of the device. posix_spawn opens the paths of
// its file actions itself, in the new process before the program runs,
// where no preload sees the open: an action on the device opens the board
// file by its path instead, the board checked (or made) now. The
// descriptor is the spawned program's, so it is neither traced nor failed
// by an injected fault.
#include "sim_internal.h"

#include <errno.h>

namespace varnik::sim {

int DeviceSpawnAddopen(posix_spawn_file_actions_t *actions, int fd, int flags, mode_t mode) {
  Init();
  const int saved_errno = errno;
  SpawnAddopenFn real = Real<SpawnAddopenFn>(kRealSpawnAddopen);
  Lock();
  const char *board = BoardForSpawnLocked();
  int result;
  if (board == nullptr)
    result = errno;
  else if (real == nullptr)
    result = ENOSYS;
  else
    result = real(actions, fd, board, BoardOpenFlags(flags), mode);
  Unlock();
  errno = saved_errno;
  return result;
}

}  // namespace varnik::sim
