// The storage behind the board's register pages, at each open: a board
// file made by hand (truncate) has holes there, and on a file system with
// no room left the program's first access to them would end it with a bus
// error. The open fills them, or fails and says why.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include "board_backing.h"

namespace varnik::sim {

namespace {

int ReportPagesWithoutStorage(const char *board) {
  const int error = errno;
  char line[PATH_MAX + 320];
  snprintf(line, sizeof line,
           "varnik_dio_sim: board file \"%s\": its register pages are holes that its file system "
           "cannot fill: %s; free some space there, or make a board elsewhere "
           "(dio-sim --board FILE new)\n",
           board, strerror(error));
  WriteStderr(line);
  errno = error;
  return -1;
}

bool SameFile(int a, int b) {
  struct stat64 st_a;
  struct stat64 st_b;
  return fstat64(a, &st_a) == 0 && fstat64(b, &st_b) == 0 && st_a.st_dev == st_b.st_dev &&
         st_a.st_ino == st_b.st_ino;
}

// A descriptor open for reading only cannot fill the pages: one open for
// writing on the same file does, when they need it. A user who may not
// write the file (or a read-only file system) keeps the holes: reading a
// hole gives zeros and never a bus error, and such a user cannot write.
int StoreThroughWriter(const char *board, int fd) {
  if (RegisterPagesHaveStorage(fd)) return 0;
  const int writer = RealOpen64(board, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
  if (writer < 0) return errno == EACCES || errno == EPERM || errno == EROFS ? 0 : -1;
  const int result = SameFile(fd, writer) ? BackRegisterPages(writer) : 0;
  const int error = errno;
  RealClose(writer);
  errno = error;
  return result;
}

}  // namespace

int StoreRegisterPages(const char *board, int fd, int flags) {
  if ((flags & O_PATH) != 0) return 0;  // no access to the file's contents at all
  const int result = (flags & O_ACCMODE) == O_RDONLY ? StoreThroughWriter(board, fd)
                                                     : BackRegisterPages(fd);
  return result == 0 ? 0 : ReportPagesWithoutStorage(board);
}

}  // namespace varnik::sim
