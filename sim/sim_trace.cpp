// The trace file: one line per device call, in the order the calls happen.
#include "sim_internal.h"

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

namespace varnik::sim {

namespace {
int g_trace_fd = -1;
}  // namespace

int SetTraceLocked(const char *path) {
  int fd = -1;
  if (path != nullptr) {
    fd = RealOpen64(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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
