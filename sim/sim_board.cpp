// The board file behind the device: which file it is, and opening it in
// place of the device.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board_file.h"
#include "board_image.h"

namespace varnik::sim {

namespace {

// Flags that would create, truncate or grow a file: the device has no such
// thing, and the board file must never be emptied or lengthened by an open.
const int kCreateFlags = O_CREAT | O_EXCL | O_TRUNC | O_APPEND | (__O_TMPFILE & ~O_DIRECTORY);

char g_board[PATH_MAX];  // empty: no board

const FileCalls kRealFileCalls = {RealOpen64, RealClose};

int CreateBoard(const char *path) { return CreateBoardFile(path, kRealFileCalls); }

// Refuses a file that is not a board, with one line saying so; the open of
// the device then fails, instead of a bus error past the end of a short
// file or writes into some unrelated file.
int RefuseNotABoard(const struct stat64 &st) {
  char why[PATH_MAX + 160];
  const int error = DescribeNotABoard(g_board, st, why, sizeof why);
  char line[sizeof why + 96];
  // Only a regular file is the board's to replace: a device or a folder
  // named by mistake must be left alone.
  snprintf(line, sizeof line,
           S_ISREG(st.st_mode)
               ? "varnik_dio_sim: %s; remove it and make a new one with dio-sim new\n"
               : "varnik_dio_sim: %s; point VARNIK_SIM_BOARD at a board file (dio-sim new)\n",
           why);
  WriteStderr(line);
  errno = error;
  return -1;
}

// Something that is not a board took the board's path while it was being
// made: a symbolic link to nothing, or another program's file.
int RefuseWhatIsThere() {
  char why[2 * PATH_MAX + 160];
  const int error = DescribeWhatIsThere(g_board, why, sizeof why);
  char line[sizeof why + 96];
  snprintf(line, sizeof line,
           "varnik_dio_sim: %s; point VARNIK_SIM_BOARD at a board file (dio-sim new)\n", why);
  WriteStderr(line);
  errno = error;
  return -1;
}

// Names the board file in a failure, so that it never reads like one of a
// real device. Keeps errno.
int ReportBoardFailure(const char *what_failed) {
  const int error = errno;
  char line[PATH_MAX + 256];
  snprintf(line, sizeof line, "varnik_dio_sim: cannot %s board file \"%s\": %s\n", what_failed,
           g_board, strerror(error));
  WriteStderr(line);
  errno = error;
  return -1;
}

// Looks at the board before it is opened: a file that is not a board is
// never opened (an open alone can start something on a device), and a
// missing board is made. Returns 0, or -1 with errno set and reported.
int PrepareBoard() {
  struct stat64 st;
  if (stat64(g_board, &st) == 0) return IsBoardFile(st) ? 0 : RefuseNotABoard(st);
  if (errno != ENOENT) return ReportBoardFailure("open");
  if (CreateBoard(g_board) == 0) return 0;
  return errno == EEXIST ? RefuseWhatIsThere() : ReportBoardFailure("create");
}

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

int BoardOpenFlags(int flags) { return flags & ~kCreateFlags; }

int OpenBoardLocked(int flags) {
  if (PrepareBoard() != 0) return -1;
  const int fd = RealOpen64(g_board, BoardOpenFlags(flags), 0);
  if (fd < 0) return ReportBoardFailure("open");
  // The file opened may not be the one looked at: it can have been replaced
  // in between.
  struct stat64 st;
  int result = fd;
  if (fstat64(fd, &st) != 0)
    result = ReportBoardFailure("examine");
  else if (!IsBoardFile(st))
    result = RefuseNotABoard(st);
  else if (StoreRegisterPages(g_board, fd, flags) != 0)
    result = -1;
  if (result < 0) {
    const int error = errno;
    RealClose(fd);
    errno = error;
  }
  return result;
}

const char *BoardForSpawnLocked() {
  if (!HasBoardLocked()) return errno = ENOENT, nullptr;
  const int fd = OpenBoardLocked(O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  RealClose(fd);
  return g_board;
}

}  // namespace varnik::sim
