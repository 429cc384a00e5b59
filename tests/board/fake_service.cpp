#include "fake_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "varnik_dio_board.h"

namespace {

bool WaitReadable(int fd, int timeout_ms) {
  pollfd readable = {fd, POLLIN, 0};
  return poll(&readable, 1, timeout_ms) == 1;
}

}  // namespace

FakeService::FakeService(const std::string &path, Script script) : path_(path) {
  unlink(path.c_str());
  listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (listener_ < 0 ||
      bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      listen(listener_, 4) != 0)
    ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
  thread_ = std::thread([this, script] { Serve(script); });
}

FakeService::~FakeService() {
  stop_ = true;
  thread_.join();
  close(listener_);
  unlink(path_.c_str());
}

void FakeService::Serve(Script script) {
  while (!stop_.load()) {
    if (!WaitReadable(listener_, 20)) continue;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    std::vector<uint8_t> hello(256);
    const ssize_t length =
        WaitReadable(connection, 5000) ? recv(connection, hello.data(), hello.size(), 0) : -1;
    hello.resize(length > 0 ? static_cast<size_t>(length) : 0);
    script(connection, hello);
    close(connection);
  }
}

void FakeService::Send(int connection, const varnik::wire::Message &message) {
  std::vector<uint8_t> bytes(varnik::wire::kMessageSize);
  varnik::wire::Encode(message, bytes.data());
  SendBytes(connection, bytes);
}

void FakeService::SendBytes(int connection, const std::vector<uint8_t> &bytes) {
  send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

varnik::wire::Message FakeService::Receive(int connection) {
  std::vector<uint8_t> bytes = ReceiveBytes(connection);
  bytes.resize(std::max(bytes.size(), varnik::wire::kMessageSize), 0);
  return varnik::wire::Decode(bytes.data());
}

std::vector<uint8_t> FakeService::ReceiveBytes(int connection) {
  std::vector<uint8_t> bytes(256);
  const ssize_t got =
      WaitReadable(connection, 5000) ? recv(connection, bytes.data(), bytes.size(), 0) : -1;
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

void FakeService::AwaitClose(int connection, int seconds) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint8_t bytes[256];
  while (std::chrono::steady_clock::now() < limit)
    if (WaitReadable(connection, 50) && recv(connection, bytes, sizeof bytes, 0) <= 0) return;
}

varnik::wire::Message FakeService::HelloAnswer(uint32_t version) {
  varnik::wire::Message answer;
  answer.operation = varnik::wire::kHello;
  answer.first = version;
  answer.second = VDIO_DEVICE_BOARD_FILE;
  return answer;
}
