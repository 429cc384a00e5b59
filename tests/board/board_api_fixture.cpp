#include "board_api_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board_registers.h"
#include "varnik_dio_sim.h"

namespace {

// The simulated board creates its file, with the registers at their reset
// values, on the first open of the device.
void CreateBoardFile(const std::string &path) {
  ASSERT_EQ(varnik_sim_set_board(path.c_str()), 0) << std::strerror(errno);
  const int fd = open("/dev/mem", O_RDWR | O_SYNC);
  ASSERT_GE(fd, 0) << "creating the board file " << path << ": " << std::strerror(errno);
  close(fd);
}

std::string PrimaryGroup() {
  const group *own = getgrgid(getgid());
  return own != nullptr ? own->gr_name : std::to_string(getgid());
}

}  // namespace

std::string RoadName(const testing::TestParamInfo<Road> &info) {
  switch (info.param) {
    case Road::kThroughPreload:
      return "ThroughPreload";
    case Road::kBoardFile:
      return "BoardFile";
    case Road::kThroughService:
      return "ThroughService";
  }
  return "UnknownRoad";
}

void BoardApiTest::SetUp() {
  BoardTest::SetUp();
  ASSERT_NO_FATAL_FAILURE(CreateBoardFile(board_path_));
  if (GetParam() != Road::kThroughPreload) {
    throwaway_path_ = dir_ + "/throwaway";
    ASSERT_NO_FATAL_FAILURE(CreateBoardFile(throwaway_path_));
  }
  if (GetParam() == Road::kThroughService) {
    socket_path_ = dir_ + "/board.sock";
    // Sampling every millisecond, as often as the watch tests' watchers ask.
    service_ = std::make_unique<ServiceProcess>(
        dir_, std::vector<std::string>{"--device", board_path_, "--socket", socket_path_,
                                       "--group", PrimaryGroup(), "--interval", "1ms",
                                       "--state-file", dir_ + "/inputs.state"});
    ASSERT_TRUE(service_->WaitServing()) << "the board service did not start: " << service_->Log();
  }
  ClearTrace();
  ASSERT_EQ(vdio_open(Device(), &board_), 0);
}

void BoardApiTest::TearDown() {
  vdio_close(board_);
  service_.reset();
  BoardTest::TearDown();
}

const char *BoardApiTest::Device() const {
  switch (GetParam()) {
    case Road::kBoardFile:
      return board_path_.c_str();
    case Road::kThroughService:
      return socket_path_.c_str();
    default:
      return nullptr;
  }
}

std::string BoardApiTest::RegisterPages() const {
  std::string pages;
  const int fd = open(board_path_.c_str(), O_RDONLY | O_CLOEXEC);
  for (uint32_t page : {board::kGpioWindow, board::kLedWindow}) {
    char bytes[4096];
    if (fd < 0 || pread(fd, bytes, sizeof bytes, static_cast<off_t>(page)) != sizeof bytes)
      ADD_FAILURE() << "cannot read the register pages of " << board_path_;
    pages.append(bytes, sizeof bytes);
  }
  if (fd >= 0) close(fd);
  return pages;
}
