// The trace file: one line per device call, in the order the calls happen.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varnik::sim {

namespace {

int g_trace_fd = -1;

// The trace must be a regular file: an open of a FIFO blocks the program
// until a reader comes, and a device can be anything. What is there is
// looked at first, so that nothing else is ever opened (a FIFO's reader
// would see an end of file); what was opened is checked too, and opened
// without blocking, in case the path was replaced in between. A folder is
// left to the open, which fails with EISDIR. -1 with errno EINVAL for
// anything else that is not a regular file.
int OpenTrace(const char *path) {
  struct stat64 st;
  if (stat64(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return errno = EINVAL, -1;
  const int fd =
      RealOpen64(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return -1;
  if (fstat64(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  RealClose(fd);
  return errno = EINVAL, -1;
}

}  // namespace

int SetTraceLocked(const char *path) {
  int fd = -1;
  if (path != nullptr) {
    fd = OpenTrace(path);
    if (fd < 0) return -1;
  }
  if (g_trace_fd >= 0) RealClose(g_trace_fd);
  g_trace_fd = fd;
  return 0;
}

size_t Pending() { return __fpending(stdout); }

void Trace(const char *line, bool failed, int error) {
  if (g_trace_fd < 0) return;
  char buffer[320];
  int length;
  if (failed)
    length = snprintf(buffer, sizeof buffer, "%s error=%d\n", line, error);
  else
    length = snprintf(buffer, sizeof buffer, "%s\n", line);
  if (length <= 0) return;
  if (static_cast<size_t>(length) >= sizeof buffer) length = sizeof buffer - 1;
  if (write(g_trace_fd, buffer, static_cast<size_t>(length)) < 0) {
    // A broken trace must not change what the program sees.
  }
}

}  // namespace varnik::sim
