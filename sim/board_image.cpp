#include "board_image.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

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

}  // namespace

int CreateBoardFile(const char *path, const FileCalls &calls) {
  char temp[PATH_MAX];
  int fd = CreateTemporary(path, calls, temp);
  if (fd < 0) return -1;
  bool ok = ftruncate64(fd, static_cast<off64_t>(kBoardFileSize)) == 0 && WriteRegisterPages(fd);
  int error = ok ? 0 : errno;
  if (calls.close(fd) != 0 && ok) {
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

}  // namespace varnik
