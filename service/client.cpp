#include "client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace dio_boardd {

Client::Client(int fd, uint64_t id, uint64_t now) : fd_(fd), id_(id), accepted_ns_(now) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
    pid_ = credentials.pid;
    uid_ = credentials.uid;
  }
}

Client::~Client() { close(fd_); }

std::string Client::Who() const {
  return "pid " + std::to_string(pid_) + " uid " + std::to_string(uid_) + " (" + name_ + ")";
}

Client::ReadResult Client::Receive(uint8_t *buffer, size_t *size) {
  const ssize_t got = recv(fd_, buffer, kReceiveSize, MSG_TRUNC | MSG_DONTWAIT);
  if (got > 0) {
    *size = static_cast<size_t>(got);
    return ReadResult::kMessage;
  }
  if (got == 0) return ReadResult::kClosed;  // SEQPACKET: an empty read is the end
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadResult::kNothing;
  last_error_ = errno;
  return errno == ECONNRESET ? ReadResult::kClosed : ReadResult::kFailed;
}

void Client::Queue(const varnik::wire::Message &message) {
  outgoing_.emplace_back(varnik::wire::kMessageSize);
  varnik::wire::Encode(message, outgoing_.back().data());
}

void Client::Queue(std::vector<uint8_t> bytes) { outgoing_.push_back(std::move(bytes)); }

void Client::Drop(const varnik::wire::Message &last, uint64_t now) {
  outgoing_.clear();
  Queue(last);
  phase_ = Phase::kDropped;
  dropped_ns_ = now;
}

void Client::KeepSendBufferSmall() {
  const int smallest = 1;  // the kernel raises it to its minimum
  setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
}

bool Client::Flush() {
  while (!outgoing_.empty()) {
    const auto &next = outgoing_.front();
    if (send(fd_, next.data(), next.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
      last_error_ = errno;
      return false;
    }
    outgoing_.pop_front();
  }
  return true;
}

}  // namespace dio_boardd
