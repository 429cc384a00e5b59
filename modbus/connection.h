// One client's connection: a non-blocking socket with the bytes received
// but not yet cut into frames, and the replies the socket has not taken yet.
#ifndef DIO_MODBUSD_CONNECTION_H
#define DIO_MODBUSD_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "shared_names.h"
#include "mbap_frame.h"

namespace dio_modbusd {

class Connection {
 public:
  // Replies the client may leave unread before it is disconnected.
  static constexpr size_t kMaxUnsentReplies = 64 * 1024;

  Connection(int fd, std::string peer, TimePoint now);
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  int fd() const { return fd_; }
  const std::string &peer() const { return peer_; }
  // When the last complete frame came (or the client connected): a client
  // that trickles in a frame a byte at a time is as idle as a silent one.
  TimePoint last_frame() const { return last_frame_; }

  enum class ReadResult { kReceived, kNothing, kClosed, kFailed };
  // One receive of what the socket holds, at most one chunk, so that a busy
  // client gets no more of a round than the others.
  ReadResult Receive();

  // The next complete frame of what was received; the frame's PDU points
  // into the connection's buffer until the next Receive or Consume.
  FrameStatus NextFrame(MbapFrame *frame, std::string *problem);
  void Consume(const MbapFrame &frame, TimePoint now) {
    parsed_ += frame.size;
    last_frame_ = now;
  }

  void Queue(const std::vector<uint8_t> &reply);
  // Sends what the socket takes; false when the socket failed.
  bool Flush();
  size_t unsent() const { return outgoing_.size() - sent_; }

  int last_error() const { return last_error_; }

 private:
  int fd_;
  std::string peer_;
  TimePoint last_frame_;
  std::vector<uint8_t> incoming_;
  size_t parsed_ = 0;  // bytes of incoming_ already cut into frames
  std::vector<uint8_t> outgoing_;
  size_t sent_ = 0;
  int last_error_ = 0;
};

}  // namespace dio_modbusd

#endif
