#include "wire_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "service_process.h"

WireClient::WireClient(const std::string &path) {
  fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

WireClient::~WireClient() {
  if (fd_ >= 0) close(fd_);
}

std::optional<varnik::wire::Message> WireClient::Hello(const std::string &name, uint32_t version) {
  std::vector<uint8_t> hello(varnik::wire::kHelloSize);
  varnik::wire::EncodeHello(name.c_str(), hello.data());
  varnik::wire::PutU32(hello.data() + 8, version);
  if (!SendBytes(hello)) return std::nullopt;
  return Receive(5);
}

std::optional<varnik::wire::Message> WireClient::Call(const varnik::wire::Message &request) {
  if (!Send(request)) return std::nullopt;
  return Receive(5);
}

std::optional<int32_t> WireClient::Watch(uint32_t lines, uint32_t interval_us, uint32_t debounce_us) {
  const auto reply = Call(Request(varnik::wire::kWatch, lines, interval_us, debounce_us));
  if (!reply) return std::nullopt;
  return reply->status;
}

bool WireClient::Send(const varnik::wire::Message &message) {
  std::vector<uint8_t> bytes(varnik::wire::kMessageSize);
  varnik::wire::Encode(message, bytes.data());
  return SendBytes(bytes);
}

bool WireClient::SendBytes(const std::vector<uint8_t> &bytes) {
  return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
}

std::optional<varnik::wire::Message> WireClient::Receive(double seconds) {
  pollfd entry = {fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&entry, 1, static_cast<int>(SlowSeconds(seconds) * 1000)) <= 0)
    return std::nullopt;
  uint8_t buffer[varnik::wire::kMessageSize] = {};
  const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
  if (got <= 0) {
    closed_ = true;
    return std::nullopt;
  }
  return varnik::wire::Decode(buffer);
}

bool WireClient::ClosedWithin(double seconds) {
  while (!closed_)
    if (!Receive(seconds) && !closed_) return false;
  return true;
}

varnik::wire::Message Request(uint16_t operation, uint32_t first, uint32_t second, uint64_t third) {
  varnik::wire::Message message;
  message.operation = operation;
  message.first = first;
  message.second = second;
  message.third = third;
  return message;
}
