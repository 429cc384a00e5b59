#include "service_fixture.h"

#include <grp.h>
#include <unistd.h>

#include "board_registers.h"

std::string OwnGroupName() {
  const group *entry = getgrgid(getgid());
  return entry != nullptr ? entry->gr_name : "";
}

void ServiceTest::SetUp() {
  BoardTest::SetUp();
  socket_path_ = dir_ + "/board.sock";
}

void ServiceTest::TearDown() {
  service_.reset();
  BoardTest::TearDown();
}

std::vector<std::string> ServiceTest::Arguments(const std::vector<std::string> &args) const {
  // The inputs' state file in the test's folder, never the system's.
  std::vector<std::string> all = {"--device", board_path_, "--socket", socket_path_, "--group",
                                  OwnGroupName(), "--state-file", dir_ + "/inputs.state"};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

ServiceProcess &ServiceTest::Start(const std::vector<std::string> &args,
                                   const std::vector<std::string> &env) {
  service_ = std::make_unique<ServiceProcess>(dir_, Arguments(args), env);
  EXPECT_TRUE(service_->WaitServing()) << "dio-boardd does not serve; its log:\n" << service_->Log();
  return *service_;
}

std::unique_ptr<WireClient> ServiceTest::Connect(const std::string &name) const {
  auto client = std::make_unique<WireClient>(socket_path_);
  EXPECT_TRUE(client->connected()) << "cannot connect to " << socket_path_;
  const auto reply = client->Hello(name);
  EXPECT_TRUE(reply && reply->status == 0) << "hello refused; log:\n" << service_->Log();
  return client;
}

void ServiceTest::SetInputsOnBoard(uint8_t mask) const {
  for (int i = 0; i < 8; ++i)
    Poke(board::kInput[i], (mask >> i) & 1 ? board::kInputActive : board::kInputInactive);
}

void ServiceTest::SetOutputOnBoard(int output, int level) const {
  Poke(board::kOutput[output], level ? board::kDriven : board::kReleased);
}
