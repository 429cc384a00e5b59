// A fresh board file for each test, dio-modbusd on it, and Modbus clients
// talking to it over loopback: libmodbus's client API, or a bare socket for
// what no well-behaved client sends.
#ifndef VARNIK_TESTS_GATEWAY_FIXTURE_H
#define VARNIK_TESTS_GATEWAY_FIXTURE_H

#include <modbus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "gateway_process.h"

// One libmodbus client connection.
class ModbusClient {
 public:
  ModbusClient(int port, int unit);
  ~ModbusClient();
  ModbusClient(const ModbusClient &) = delete;
  ModbusClient &operator=(const ModbusClient &) = delete;

  bool connected() const { return connected_; }
  modbus_t *get() const { return context_; }
  // The client's own port, as the gateway's log names it.
  int local_port() const;

 private:
  modbus_t *context_;
  bool connected_ = false;
};

// For a libmodbus call's result: 0 when it succeeded, the Modbus exception
// code it got (1..11), or -1 for any other failure.
int ExceptionOf(int result);

// A connected, blocking TCP socket to 127.0.0.1:port, or -1.
int ConnectRaw(int port);
bool SendAll(int fd, const std::vector<uint8_t> &bytes);

// What a raw socket sees within seconds: bytes arrived, the peer closed
// (with nothing sent), or nothing at all.
enum class PeerResponse { kBytes, kClosed, kSilent };
PeerResponse AwaitResponse(int fd, double seconds, std::vector<uint8_t> *bytes = nullptr);

class GatewayTest : public BoardTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts dio-modbusd on the test's board with args; the test fails when
  // it does not listen.
  GatewayProcess &Start(const std::vector<std::string> &args = {});
  std::unique_ptr<ModbusClient> Connect(int unit = 1) const;

  // The lines as their register bytes on the board file hold them
  // (active-low), bit n = line n of the group.
  uint8_t OutputsOnBoard() const;
  uint8_t LedsOnBoard() const;
  void SetOutputsOnBoard(uint8_t mask) const;
  void SetInputsOnBoard(uint8_t mask) const;
  // Both register pages, to show that nothing was written.
  std::vector<uint8_t> RegisterPages() const;

  std::unique_ptr<GatewayProcess> gateway_;
};

#endif
