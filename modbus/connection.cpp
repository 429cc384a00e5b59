#include "connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace dio_modbusd {

namespace {
constexpr size_t kReceiveChunk = 4096;
}

Connection::Connection(int fd, std::string peer, TimePoint now)
    : fd_(fd), peer_(std::move(peer)), last_frame_(now) {}

Connection::~Connection() { close(fd_); }

Connection::ReadResult Connection::Receive() {
  // What was cut into frames goes; a partial frame moves to the front.
  incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(parsed_));
  parsed_ = 0;
  const size_t kept = incoming_.size();
  incoming_.resize(kept + kReceiveChunk);
  const ssize_t got = recv(fd_, incoming_.data() + kept, kReceiveChunk, 0);
  incoming_.resize(kept + (got > 0 ? static_cast<size_t>(got) : 0));
  if (got > 0) return ReadResult::kReceived;
  if (got == 0) return ReadResult::kClosed;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadResult::kNothing;
  last_error_ = errno;
  return ReadResult::kFailed;
}

FrameStatus Connection::NextFrame(MbapFrame *frame, std::string *problem) {
  return CutFrame(incoming_.data() + parsed_, incoming_.size() - parsed_, frame, problem);
}

void Connection::Queue(const std::vector<uint8_t> &reply) {
  if (sent_ == outgoing_.size()) {
    outgoing_.clear();
    sent_ = 0;
  }
  outgoing_.insert(outgoing_.end(), reply.begin(), reply.end());
}

bool Connection::Flush() {
  while (sent_ < outgoing_.size()) {
    const ssize_t put = send(fd_, outgoing_.data() + sent_, outgoing_.size() - sent_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      sent_ += static_cast<size_t>(put);
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    last_error_ = errno;
    return false;
  }
  if (sent_ == outgoing_.size()) {
    outgoing_.clear();
    sent_ = 0;
  } else if (sent_ > kMaxUnsentReplies) {  // keeps the buffer from growing without end
    outgoing_.erase(outgoing_.begin(), outgoing_.begin() + static_cast<std::ptrdiff_t>(sent_));
    sent_ = 0;
  }
  return true;
}

}  // namespace dio_modbusd
