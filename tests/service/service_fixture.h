// A fresh board file for each test, dio-boardd serving it on a socket in
// the test's folder, and wire clients talking to it.
#ifndef VARNIK_TESTS_SERVICE_FIXTURE_H
#define VARNIK_TESTS_SERVICE_FIXTURE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "service_process.h"
#include "wire_client.h"

// The name of the test user's primary group: the socket's group in tests.
std::string OwnGroupName();

class ServiceTest : public BoardTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The service's command line on the test's board and socket, then args.
  std::vector<std::string> Arguments(const std::vector<std::string> &args = {}) const;
  // Starts dio-boardd with Arguments(args); the test fails when it does
  // not serve.
  ServiceProcess &Start(const std::vector<std::string> &args = {},
                        const std::vector<std::string> &env = {});
  // A client that said hello and was accepted.
  std::unique_ptr<WireClient> Connect(const std::string &name = "test") const;

  // The inputs as the outside world sets them: bit n = DIn, 1 active.
  void SetInputsOnBoard(uint8_t mask) const;
  // Output n's register byte, as another program on the registers writes it.
  void SetOutputOnBoard(int output, int level) const;

  std::string socket_path_;
  std::unique_ptr<ServiceProcess> service_;
};

#endif
