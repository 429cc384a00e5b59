#include "board_image.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "board_backing.h"
#include "board_file.h"

namespace varnik {

namespace {

unsigned g_temp_counter;

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

bool WriteRegisterPages(int fd) {
  unsigned char page[kRegisterPageSize];
  memset(page, kRegisterResetByte, sizeof page);
  for (uint32_t base : kRegisterPages)
    if (!WriteAll(fd, page, sizeof page, static_cast<off64_t>(base))) return false;
  return true;
}

// A new file beside path, opened for writing; -1 with errno set.
int CreateTemporary(const char *path, const FileCalls &calls, char (&temp)[PATH_MAX]) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned serial = __atomic_fetch_add(&g_temp_counter, 1, __ATOMIC_RELAXED);
    int n = snprintf(temp, sizeof temp, "%s.%ld.%u.new", path, static_cast<long>(getpid()),
                     serial);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temp) {
      errno = ENAMETOOLONG;
      return -1;
    }
    int fd = calls.open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Frees [from, to) of the board, which then reads as zero. A file system
// that cannot free parts of a file keeps them.
bool Zero(int fd, uint64_t from, uint64_t to) {
  if (to <= from) return true;
  return fallocate64(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off64_t>(from),
                     static_cast<off64_t>(to - from)) == 0 ||
         errno == EOPNOTSUPP;
}

// The two register pages get their storage first, so that a file system
// without room for them fails here and not in a program's mapping later.
bool FillBoard(int fd) {
  return ftruncate64(fd, static_cast<off64_t>(kBoardFileSize)) == 0 &&
         BackRegisterPages(fd) == 0 && WriteRegisterPages(fd);
}

// Moves the finished board at temp to path. Something already at path is
// kept if it is a board, made by another program first; anything else
// there (a file, a symbolic link to nothing) fails with EEXIST.
bool LinkIntoPlace(const char *temp, const char *path) {
  if (link(temp, path) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat64 st;
  if (stat64(path, &st) == 0 && IsBoardFile(st)) return true;
  errno = EEXIST;
  return false;
}

}  // namespace

const char *DescribeFileKind(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a socket";
}

int CreateBoardFile(const char *path, const FileCalls &calls) {
  char temp[PATH_MAX];
  int fd = CreateTemporary(path, calls, temp);
  if (fd < 0) return -1;
  bool ok = FillBoard(fd);
  int error = ok ? 0 : errno;
  if (calls.close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && !LinkIntoPlace(temp, path)) {
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

int ResetBoardFile(int fd) {
  // The space around the register pages first, so that the pages
  // themselves are only ever overwritten, never briefly zero.
  uint64_t from = 0;
  for (uint32_t base : kRegisterPages) {
    if (!Zero(fd, from, base)) return -1;
    from = uint64_t{base} + kRegisterPageSize;
  }
  if (!Zero(fd, from, kBoardFileSize)) return -1;
  return WriteRegisterPages(fd) ? 0 : -1;
}

int DescribeNotABoard(const char *path, const struct stat64 &st, char *text, size_t size) {
  char what[64];
  if (S_ISREG(st.st_mode))
    snprintf(what, sizeof what, "has %llu bytes", static_cast<unsigned long long>(st.st_size));
  else
    snprintf(what, sizeof what, "is %s", DescribeFileKind(st.st_mode));
  snprintf(text, size,
           "board file \"%s\" is not a board: a regular file of %llu bytes is expected, "
           "this one %s",
           path, static_cast<unsigned long long>(kBoardFileSize), what);
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

int DescribeWhatIsThere(const char *path, char *text, size_t size) {
  struct stat64 st;
  if (stat64(path, &st) == 0) return DescribeNotABoard(path, st, text, size);
  const int error = errno;
  char target[PATH_MAX];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length < 0) {
    snprintf(text, size, "board file \"%s\" cannot be looked at: %s", path, strerror(error));
    return error;
  }
  target[length] = '\0';
  char which[160];
  if (error == ENOENT)
    snprintf(which, sizeof which, "does not exist");
  else
    snprintf(which, sizeof which, "cannot be followed: %s", strerror(error));
  snprintf(text, size, "board file \"%s\" is a symbolic link to \"%s\", which %s", path, target,
           which);
  return error;
}

}  // namespace varnik
