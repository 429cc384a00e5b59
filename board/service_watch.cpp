// A watcher through the board service: a connection of its own, said hello
// on and turned into a watch; events are read from it as they come.
#include "service_watch.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "service_connection.h"

namespace varnik::board {

struct ServiceWatch {
  int fd;
  bool overflowed;  // the service dropped the watcher: -ENOBUFS from then on
  bool lost;        // the connection ended: -ENOTCONN from then on
};

namespace {

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int StartWatching(int fd, uint32_t lines, uint32_t interval_us, uint32_t debounce_us) {
  wire::Message request;
  request.operation = wire::kWatch;
  request.first = lines;
  request.second = interval_us;
  request.third = debounce_us;
  uint8_t request_bytes[wire::kMessageSize];
  uint8_t reply_bytes[kReplyRoom];
  wire::Encode(request, request_bytes);
  const int result = RoundTrip(fd, request_bytes, reply_bytes);
  if (result != 0) return result;
  const int32_t status = wire::Decode(reply_bytes).status;
  return status > 0 ? -EPROTO : status;
}

// One message of the watch as vdio_watch_next returns it.
int TakeMessage(ServiceWatch *watch, const wire::Message &message, vdio_event *event) {
  if (message.operation == wire::kOverflow) {
    watch->overflowed = true;
    return -ENOBUFS;
  }
  if (message.operation != wire::kEvent || message.first >= VDIO_LINE_COUNT ||
      message.second > 1) {
    watch->lost = true;
    return -EPROTO;
  }
  event->line = static_cast<int32_t>(message.first);
  event->value = static_cast<int32_t>(message.second);
  event->edge = message.second == 1 ? VDIO_RISING : VDIO_FALLING;
  event->timestamp_ns = message.third;
  return 1;
}

// Waits for the connection to become readable: 1, 0 at the deadline, or
// -EINTR when a signal handler ran meanwhile. A negative timeout: forever.
int WaitForMessage(int fd, int timeout_ms, int64_t deadline_ms) {
  int wait_ms = -1;
  if (timeout_ms >= 0) {
    const int64_t left = deadline_ms - MonotonicMs();
    if (left <= 0) return 0;
    wait_ms = static_cast<int>(left);
  }
  struct pollfd waiting = {fd, POLLIN, 0};
  const int ready = poll(&waiting, 1, wait_ms);
  return ready < 0 ? -errno : ready;
}

}  // namespace

int OpenServiceWatch(const ServiceBoard *board, uint32_t lines, uint32_t interval_us,
                     uint32_t debounce_us, ServiceWatch **watch) {
  int held_kind = 0;
  uint32_t version = 0;  // every version watches alike
  const int fd = ConnectToService(board->path, &held_kind, &version);
  if (fd < 0) return fd;
  int result = StartWatching(fd, lines, interval_us, debounce_us);
  auto *opened = result == 0 ? static_cast<ServiceWatch *>(calloc(1, sizeof(ServiceWatch)))
                             : nullptr;
  if (result == 0 && opened == nullptr) result = -ENOMEM;
  if (result != 0) {
    close(fd);
    return result;
  }
  opened->fd = fd;
  *watch = opened;
  return 0;
}

int NextServiceEvent(ServiceWatch *watch, int timeout_ms, vdio_event *event) {
  if (watch->overflowed) return -ENOBUFS;
  if (watch->lost) return -ENOTCONN;
  const int64_t deadline_ms = MonotonicMs() + (timeout_ms > 0 ? timeout_ms : 0);
  for (;;) {
    wire::Message message;
    const int received = ReceiveWaiting(watch->fd, &message);
    if (received == 1) return TakeMessage(watch, message, event);
    if (received < 0) {
      watch->lost = true;
      return received;
    }
    const int ready = WaitForMessage(watch->fd, timeout_ms, deadline_ms);
    if (ready <= 0) return ready;
  }
}

int ServiceWatchFd(const ServiceWatch *watch) { return watch->fd; }

void FreeServiceWatch(ServiceWatch *watch) {
  close(watch->fd);
  free(watch);
}

}  // namespace varnik::board
