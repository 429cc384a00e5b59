// The board file behind the device: which file it is, and opening it in
// place of the device.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "board_image.h"

namespace varnik::sim {

namespace {

// Flags that would create or truncate a file: the device has no such thing,
// and the board file must never be emptied by an open.
const int kCreateFlags = O_CREAT | O_EXCL | O_TRUNC | (__O_TMPFILE & ~O_DIRECTORY);

char g_board[PATH_MAX];  // empty: no board

const FileCalls kRealFileCalls = {RealOpen64, RealClose};

int CreateBoard(const char *path) { return CreateBoardFile(path, kRealFileCalls); }

// Stores path in g_board, made absolute: a relative path names the board in
// the current folder now, not in whatever folder the program has moved to
// by the time it opens it.
int RememberBoardPath(const char *path) {
  size_t length = strlen(path);
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
  return 0;
}

}  // namespace

int SetBoardLocked(const char *path) {
  if (path == nullptr) {
    g_board[0] = '\0';
    return 0;
  }
  if (path[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  if (RememberBoardPath(path) != 0) return -1;
  if (access(g_board, F_OK) == 0) return 0;
  return CreateBoard(g_board);
}

bool HasBoardLocked() { return g_board[0] != '\0'; }

int OpenBoardLocked(int flags) {
  int board_flags = flags & ~kCreateFlags;
  int fd = RealOpen64(g_board, board_flags, 0);
  if (fd < 0 && errno == ENOENT && CreateBoard(g_board) == 0)
    fd = RealOpen64(g_board, board_flags, 0);
  return fd;
}

}  // namespace varnik::sim
