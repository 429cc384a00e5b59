// A stand-in for the board service on a socket of the test's: it takes
// connections one after another, reads each one's hello, and answers as the
// test's script says, so
// that a test can be a service of another version, or a broken one.
#ifndef VARNIK_TESTS_FAKE_SERVICE_H
#define VARNIK_TESTS_FAKE_SERVICE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "service_wire.h"

class FakeService {
 public:
  // script(connection, hello): the hello's bytes as received.
  using Script = std::function<void(int, const std::vector<uint8_t> &)>;

  FakeService(const std::string &path, Script script);
  ~FakeService();
  FakeService(const FakeService &) = delete;
  FakeService &operator=(const FakeService &) = delete;

  // What a script sends and receives on its connection.
  static void Send(int connection, const varnik::wire::Message &message);
  static void SendBytes(int connection, const std::vector<uint8_t> &bytes);
  // The next message, or one with operation 0 when the client sent none
  // within 5 s or closed.
  static varnik::wire::Message Receive(int connection);
  // The next message whole, or nothing as above.
  static std::vector<uint8_t> ReceiveBytes(int connection);
  // Reads and drops whatever comes until the client closes, at most
  // seconds.
  static void AwaitClose(int connection, int seconds);
  // The answer of a service of this version holding a board file.
  static varnik::wire::Message HelloAnswer(uint32_t version = varnik::wire::kProtocolVersion);

 private:
  void Serve(Script script);

  std::string path_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

#endif
