// Talking to the board service: connect, hello, and bounded round trips.
// No call raises SIGPIPE (MSG_NOSIGNAL) or waits longer than
// kReplyTimeoutMs for the service; a signal handler that runs meanwhile only
// makes the call try again, since these calls have no -EINTR.
#include "service_connection.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "varnik_dio_board.h"

namespace varnik::board {

namespace {

// Room for a longer message than ours, to tell it from ours by its length.
constexpr size_t kReceiveRoom = kReplyRoom;
// The hello answer's operation and version lie in its first twelve bytes,
// whatever the service's version.
constexpr size_t kVersionEnd = 12;

int64_t MonotonicMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int SendAll(int fd, const uint8_t *bytes, size_t length) {
  for (;;) {
    const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(length)) return 0;
    if (sent < 0 && errno == EINTR) continue;
    return -ECONNRESET;  // EPIPE, a full socket past the send timeout, ...
  }
}

// Waits until fd is readable or deadline_ms passed: 0, or -ECONNRESET on
// the timeout (the service counts as lost).
int WaitReadable(int fd, int64_t deadline_ms) {
  for (;;) {
    const int64_t left = deadline_ms - MonotonicMs();
    if (left <= 0) return -ECONNRESET;
    struct pollfd waiting = {fd, POLLIN, 0};
    const int ready = poll(&waiting, 1, static_cast<int>(left));
    if (ready > 0) return 0;
    if (ready < 0 && errno != EINTR) return -errno;
  }
}

// One message into bytes (kReceiveRoom), waiting up to deadline_ms: its
// length, or a negative errno value.
ssize_t ReceiveBefore(int fd, uint8_t *bytes, int64_t deadline_ms) {
  for (;;) {
    const int waited = WaitReadable(fd, deadline_ms);
    if (waited != 0) return waited;
    const ssize_t length = recv(fd, bytes, kReceiveRoom, MSG_DONTWAIT);
    if (length > 0) return length;
    if (length == 0) return -ECONNRESET;  // the service closed the connection
    if (errno != EINTR && errno != EAGAIN) return errno == EPIPE ? -ECONNRESET : -errno;
  }
}

void BoundSending(int fd) {
  // Bounds connect (a full backlog) and send alike.
  struct timeval limit = {kReplyTimeoutMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int ConnectSocket(const char *path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof address.sun_path) return -ENAMETOOLONG;
  memcpy(address.sun_path, path, strlen(path) + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  BoundSending(fd);
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return fd;
    if (errno == EINTR) continue;
    const int error = errno;
    close(fd);
    return -error;
  }
}

// The service's answer to a hello of version: 0 and *device_kind, or an
// error; *older_version is the service's version when it refused ours for
// an older one this library still speaks.
int CheckHelloAnswer(const uint8_t *bytes, ssize_t length, uint32_t version, int *device_kind,
                     uint32_t *older_version) {
  if (length < static_cast<ssize_t>(kVersionEnd)) return -EPROTO;
  const wire::Message answer = wire::Decode(bytes);
  if (answer.operation != wire::kHello) return -EPROTO;
  if (length != static_cast<ssize_t>(wire::kMessageSize)) return -EPROTO;
  if (answer.status == -EPROTO && answer.first >= wire::kOldestProtocolVersion &&
      answer.first < version)
    *older_version = answer.first;
  if (answer.status != 0) return IsErrnoStatus(answer.status) ? answer.status : -EPROTO;
  if (answer.first != version) return -EPROTO;
  if (answer.second != VDIO_DEVICE_MEMORY && answer.second != VDIO_DEVICE_BOARD_FILE)
    return -EPROTO;
  *device_kind = static_cast<int>(answer.second);
  return 0;
}

int SayHello(int fd, uint32_t version, int *device_kind, uint32_t *older_version) {
  uint8_t hello[wire::kHelloSize];
  wire::EncodeHello(program_invocation_short_name, hello, version);
  int result = SendAll(fd, hello, sizeof hello);
  if (result != 0) return result;
  uint8_t answer[kReceiveRoom];
  const ssize_t length = ReceiveBefore(fd, answer, MonotonicMs() + kReplyTimeoutMs);
  if (length < 0) return static_cast<int>(length);
  return CheckHelloAnswer(answer, length, version, device_kind, older_version);
}

// One connection and its hello in version: the descriptor or an error.
int ConnectInVersion(const char *path, uint32_t version, int *device_kind,
                     uint32_t *older_version) {
  const int fd = ConnectSocket(path);
  if (fd < 0) return fd;
  const int result = SayHello(fd, version, device_kind, older_version);
  if (result != 0) {
    close(fd);
    return result;
  }
  return fd;
}

}  // namespace

int ConnectToService(const char *path, int *device_kind, uint32_t *version) {
  uint32_t older = 0;
  int fd = ConnectInVersion(path, wire::kProtocolVersion, device_kind, &older);
  *version = wire::kProtocolVersion;
  // A service not yet restarted after an upgrade speaks an older version:
  // everything but what that version lacks still works through it.
  if (fd == -EPROTO && older != 0) {
    uint32_t ignored = 0;
    fd = ConnectInVersion(path, older, device_kind, &ignored);
    *version = older;
  }
  return fd;
}

int RoundTrip(int fd, const uint8_t *request, uint8_t *reply) {
  const uint16_t operation = wire::GetU16(request);
  int result = SendAll(fd, request, wire::RequestSize(operation));
  if (result != 0) return result;
  const ssize_t length = ReceiveBefore(fd, reply, MonotonicMs() + kReplyTimeoutMs);
  if (length < 0) return static_cast<int>(length);
  if (length != static_cast<ssize_t>(wire::ReplySize(operation))) return -EPROTO;
  const wire::Message decoded = wire::Decode(reply);
  if (decoded.operation != operation) return -EPROTO;
  if (decoded.status < 0 && !IsErrnoStatus(decoded.status)) return -EPROTO;
  return 0;
}

int ReceiveWaiting(int fd, wire::Message *message) {
  uint8_t bytes[kReceiveRoom];
  for (;;) {
    const ssize_t length = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (length == static_cast<ssize_t>(wire::kMessageSize)) {
      *message = wire::Decode(bytes);
      return 1;
    }
    if (length > 0) return -EPROTO;
    if (length == 0) return -ECONNRESET;
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    return errno == EPIPE ? -ECONNRESET : -errno;
  }
}

int Exchange(ServiceBoard *service, const uint8_t *request, uint8_t *reply) {
  pthread_mutex_lock(&service->lock);
  const int result = service->lost ? -ENOTCONN : RoundTrip(service->fd, request, reply);
  if (result != 0 && !service->lost) {
    // A reply late, lost or garbled would answer the next request: the
    // connection is not used again.
    service->lost = true;
    shutdown(service->fd, SHUT_RDWR);
  }
  pthread_mutex_unlock(&service->lock);
  return result;
}

int AskForBytes(ServiceBoard *service, const wire::Message &request, uint8_t *reply) {
  uint8_t request_bytes[wire::kMessageSize];
  wire::Encode(request, request_bytes);
  return Exchange(service, request_bytes, reply);
}

int Ask(ServiceBoard *service, const wire::Message &request, wire::Message *reply) {
  uint8_t reply_bytes[kReplyRoom];
  const int result = AskForBytes(service, request, reply_bytes);
  if (result != 0) return result;
  const wire::Message answer = wire::Decode(reply_bytes);
  if (reply != nullptr) *reply = answer;
  return answer.status;
}

}  // namespace varnik::board
