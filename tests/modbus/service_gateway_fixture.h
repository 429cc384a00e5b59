// dio-modbusd as a client of a board service the test starts on its board
// file (its socket and state file in the test's folder), and other clients
// of that service.
#ifndef VARNIK_TESTS_SERVICE_GATEWAY_FIXTURE_H
#define VARNIK_TESTS_SERVICE_GATEWAY_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "service_process.h"
#include "varnik_dio_board.h"

class ServiceGatewayTest : public GatewayTest {
 protected:
  static constexpr double kServiceIntervalSeconds = 0.010;  // the service's --interval

  void SetUp() override;
  void TearDown() override;

  // Starts dio-boardd on the test's board with args besides its socket,
  // group, interval and state file; the test fails when it does not serve.
  void StartService(const std::vector<std::string> &args = {});
  void StopService();

  // The gateway through the service: the last --device wins.
  GatewayProcess &StartThroughService(std::vector<std::string> args = {});
  // A gateway expected not to start: its wait status.
  int StartFailing(const std::vector<std::string> &args);

  // Another client of the service, closed at the end of the test.
  vdio_board *OpenClient();

  std::string socket_;
  std::string state_file_;
  std::unique_ptr<ServiceProcess> service_;
  std::vector<vdio_board *> clients_;
};

#endif
