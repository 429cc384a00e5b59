// The device as a stdio stream: fopen and freopen of it open the board as
// open does, and the stream's descriptor is the device's until the stream
// is closed or reopened.
#include "sim_internal.h"

#include <errno.h>
#include <fcntl.h>

namespace varnik::sim {

namespace {

// The open flags of an fopen mode ("r", "w+", "ae", ...); false for a mode
// that libc refuses too.
bool ModeFlags(const char *mode, int *flags) {
  if (mode == nullptr) return false;
  int access = O_WRONLY;
  int extra = 0;
  switch (mode[0]) {
    case 'r':
      access = O_RDONLY;
      break;
    case 'w':
      extra = O_CREAT | O_TRUNC;
      break;
    case 'a':
      extra = O_CREAT | O_APPEND;
      break;
    default:
      return false;
  }
  for (const char *c = mode + 1; *c != '\0' && *c != ','; ++c) {
    if (*c == '+') access = O_RDWR;
    if (*c == 'e') extra |= O_CLOEXEC;
    if (*c == 'x') extra |= O_EXCL;
  }
  *flags = access | extra;
  return true;
}

// A mode for a stream on the board that keeps the access of flags but
// never truncates or appends: the board file must keep its size. With
// reopen, for freopen, which truncates on "w": read-write instead.
void BoardStreamMode(int flags, bool reopen, char (&mode)[4]) {
  const int access = flags & O_ACCMODE;
  const char *base = access == O_RDONLY ? "r" : access == O_WRONLY && !reopen ? "w" : "r+";
  snprintf(mode, sizeof mode, "%s%s", base, (flags & O_CLOEXEC) != 0 ? "e" : "");
}

}  // namespace

FILE *DeviceFopen(const char *mode) {
  int flags = 0;
  if (!ModeFlags(mode, &flags)) return errno = EINVAL, nullptr;
  const int fd = DeviceOpen(flags);
  if (fd < 0) return nullptr;
  char stream_mode[4];
  BoardStreamMode(flags, false, stream_mode);
  FILE *stream = fdopen(fd, stream_mode);
  if (stream == nullptr) {
    const int error = errno;
    self_close(fd);
    errno = error;
  }
  return stream;
}

// The board is opened as the device, then the stream reopened on that very
// file through /proc/self/fd; the stream's descriptor then stands for the
// device in place of the one opened.
FILE *DeviceFreopen(const char *mode, FILE *stream) {
  DeviceStreamClosing(stream);
  FreopenFn reopen = Real<FreopenFn>(kRealFreopen64);
  FcloseFn close_stream = Real<FcloseFn>(kRealFclose);
  if (reopen == nullptr || close_stream == nullptr) return errno = ENOSYS, nullptr;
  int flags = 0;
  const int fd = ModeFlags(mode, &flags) ? DeviceOpen(flags) : (errno = EINVAL, -1);
  if (fd < 0) {
    // As freopen does when the new file cannot be opened: the stream is closed.
    const int open_error = errno;
    close_stream(stream);
    errno = open_error;
    return nullptr;
  }
  char path[32];
  snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  char stream_mode[4];
  BoardStreamMode(flags, true, stream_mode);
  FILE *result = reopen(path, stream_mode, stream);
  const int reopen_error = errno;
  const int stream_fd = result != nullptr ? fileno(result) : -1;
  Lock();
  ForgetDescriptor(fd);
  if (stream_fd >= 0) RecordDescriptor(stream_fd);
  Unlock();
  RealClose(fd);
  errno = reopen_error;
  return result;
}

bool IsDeviceStream(FILE *stream) {
  if (stream == nullptr) return false;
  const int saved_errno = errno;
  const int fd = fileno(stream);
  errno = saved_errno;
  Lock();
  const bool is_device = fd >= 0 && IsDeviceDescriptor(fd);
  Unlock();
  return is_device;
}

void DeviceStreamClosing(FILE *stream) {
  if (stream == nullptr) return;
  const int saved_errno = errno;
  const int fd = fileno(stream);
  errno = saved_errno;
  if (fd >= 0) DeviceClosedByLibc(fd);
}

}  // namespace varnik::sim
