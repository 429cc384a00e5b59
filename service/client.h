// One client's connection: its non-blocking SOCK_SEQPACKET socket, who it
// is (SO_PEERCRED and the name of its hello), what it is (before its
// hello, a board connection or a watch) and the messages the socket has
// not taken yet.
#ifndef DIO_BOARDD_CLIENT_H
#define DIO_BOARDD_CLIENT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "line_debounce.h"
#include "service_wire.h"

namespace dio_boardd {

class Client {
 public:
  // Events a watcher may leave unread in the service, on top of what its
  // socket holds, before it is dropped.
  static constexpr size_t kMaxQueuedEvents = 1024;
  // A dropped watcher is closed once its overflow is sent, or this long
  // after the drop when it never reads again.
  static constexpr uint64_t kDropGraceNs = 5'000'000'000u;
  // The largest message read: bigger than any this version knows, so that
  // a hello of another version is still read whole enough to answer.
  static constexpr size_t kReceiveSize = 256;

  enum class Phase { kHello, kBoard, kWatch, kDropped };

  // Takes fd, accepted at now (CLOCK_MONOTONIC ns), as the service's id'th
  // connection; reads the peer's credentials.
  Client(int fd, uint64_t id, uint64_t now);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  int fd() const { return fd_; }
  // Never 0 and never reused: the claims name their holder by it.
  uint64_t id() const { return id_; }
  pid_t pid() const { return pid_; }
  const std::string &name() const { return name_; }
  uint64_t accepted_ns() const { return accepted_ns_; }
  Phase phase() const { return phase_; }
  void set_phase(Phase phase) { phase_ = phase; }
  void set_name(const std::string &name) { name_ = name; }
  // The protocol version of its hello: it is answered in that version.
  uint32_t version() const { return version_; }
  void set_version(uint32_t version) { version_ = version; }
  // "pid 1234 uid 1000 (dioctl)", for the log.
  std::string Who() const;

  enum class ReadResult { kMessage, kNothing, kClosed, kFailed };
  // One message of the socket into buffer (kReceiveSize bytes); *size is its
  // whole size, even when it was longer than the buffer.
  ReadResult Receive(uint8_t *buffer, size_t *size);

  void Queue(const varnik::wire::Message &message);
  // A message of any size (a claim's description).
  void Queue(std::vector<uint8_t> bytes);
  // Turns a watch into a dropped one at now: the events not yet sent are
  // discarded, only last (the overflow) waits for the socket.
  void Drop(const varnik::wire::Message &last, uint64_t now);
  uint64_t dropped_ns() const { return dropped_ns_; }
  // The socket's own send buffer as small as the kernel allows, so that
  // the service's queue, not the kernel's buffer, bounds a watcher's backlog.
  void KeepSendBufferSmall();
  // Sends what the socket takes; false when the socket failed.
  bool Flush();
  size_t unsent() const { return outgoing_.size(); }
  int last_error() const { return last_error_; }

  // A watch's state: the lines' debounce, fed with the service's samples.
  varnik::board::LineDebounce watch{};

 private:
  int fd_;
  uint64_t id_;
  uint64_t accepted_ns_;
  pid_t pid_ = 0;
  uid_t uid_ = 0;
  std::string name_ = "no hello yet";
  uint32_t version_ = 0;
  Phase phase_ = Phase::kHello;
  uint64_t dropped_ns_ = 0;
  std::deque<std::vector<uint8_t>> outgoing_;
  int last_error_ = 0;
};

}  // namespace dio_boardd

#endif
