#include "service_gateway_fixture.h"

#include <signal.h>

#include "service_fixture.h"

void ServiceGatewayTest::SetUp() {
  GatewayTest::SetUp();
  socket_ = dir_ + "/board.sock";
  state_file_ = dir_ + "/inputs.state";
}

void ServiceGatewayTest::TearDown() {
  for (vdio_board *board : clients_) vdio_close(board);
  gateway_.reset();
  service_.reset();
  GatewayTest::TearDown();
}

void ServiceGatewayTest::StartService(const std::vector<std::string> &args) {
  std::vector<std::string> all = {"--device", board_path_, "--socket", socket_,
                                  "--group", OwnGroupName(), "--interval", "10ms",
                                  "--state-file", state_file_};
  all.insert(all.end(), args.begin(), args.end());
  service_ = std::make_unique<ServiceProcess>(dir_, all);
  ASSERT_TRUE(service_->WaitServing()) << service_->Log();
}

void ServiceGatewayTest::StopService() {
  EXPECT_EQ(service_->Stop(SIGTERM, SlowSeconds(5)), 0) << service_->Log();
}

GatewayProcess &ServiceGatewayTest::StartThroughService(std::vector<std::string> args) {
  args.insert(args.begin(), {"--device", socket_});
  return Start(args);
}

int ServiceGatewayTest::StartFailing(const std::vector<std::string> &args) {
  gateway_ = std::make_unique<GatewayProcess>(dir_, args);
  return gateway_->WaitForExit(10);
}

vdio_board *ServiceGatewayTest::OpenClient() {
  vdio_board *board = nullptr;
  EXPECT_EQ(vdio_open(socket_.c_str(), &board), 0);
  clients_.push_back(board);
  return board;
}
