// Opening the board: the device is opened and both register pages mapped
// once, held until vdio_close; every failure comes back as a negative errno
// with nothing left open, and the process goes on.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "board_api_fixture.h"
#include "board_registers.h"
#include "failing_fallocate.h"
#include "varnik_dio_sim.h"

namespace {

using HeldMappingTest = BoardApiTest;
BOARD_API_DIRECT_TEST_P(HeldMappingTest);

using DeviceKindTest = BoardApiTest;
BOARD_API_TEST_P(DeviceKindTest);

TEST_P(DeviceKindTest, TheBoardKnowsWhatItWasOpenedOn) {
  const int expected[] = {VDIO_DEVICE_BOARD_FILE, VDIO_DEVICE_BOARD_FILE, VDIO_DEVICE_SERVICE};
  EXPECT_EQ(vdio_device_kind(board_), expected[static_cast<int>(GetParam())]);
  EXPECT_EQ(vdio_device_kind(nullptr), -EINVAL);
}

TEST_P(HeldMappingTest, BothPagesStayMappedUntilCloseAndNoDescriptorIsKept) {
  EXPECT_EQ(MappingsOf(board_path_), 2u);
  const unsigned descriptors = OpenDescriptors();
  vdio_close(board_);
  board_ = nullptr;
  EXPECT_EQ(MappingsOf(board_path_), 0u);
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_P(HeldMappingTest, ReadsAndWritesMakeNoDeviceCallAfterTheOpen) {
  if (GetParam() != Road::kThroughPreload) GTEST_SKIP() << "the trace records device calls only";
  const std::vector<std::string> opened = board::DeviceCalls(Trace());
  ASSERT_EQ(opened.size(), 4u);
  // Read-write with synchronous writes, whatever else is asked.
  unsigned flags = 0;
  ASSERT_EQ(sscanf(opened[0].c_str(), "open flags=0x%x", &flags), 1) << opened[0];
  EXPECT_EQ(flags & O_ACCMODE, static_cast<unsigned>(O_RDWR));
  EXPECT_EQ(flags & O_SYNC, static_cast<unsigned>(O_SYNC));
  EXPECT_EQ(opened[1], "mmap length=4096 prot=0x3 flags=0x1 offset=0xfdae0000");
  EXPECT_EQ(opened[2], "mmap length=4096 prot=0x3 flags=0x1 offset=0xfdaf0000");
  EXPECT_EQ(opened[3], "close");

  vdio_state state;
  for (int round = 0; round < 100; ++round) {
    ASSERT_EQ(vdio_set(board_, VDIO_DO3, round & 1), 0);
    ASSERT_GE(vdio_get(board_, VDIO_DI5), 0);
    ASSERT_EQ(vdio_read(board_, &state), 0);
    ASSERT_EQ(vdio_write_leds(board_, 0x07, static_cast<uint8_t>(round)), 0);
  }
  EXPECT_EQ(board::DeviceCalls(Trace()), opened);

  vdio_close(board_);
  board_ = nullptr;
  std::vector<std::string> closed = opened;
  closed.push_back("munmap length=4096 offset=0xfdae0000");
  closed.push_back("munmap length=4096 offset=0xfdaf0000");
  EXPECT_EQ(board::DeviceCalls(Trace()), closed);
  EXPECT_EQ(varnik_sim_open_mappings(), 0u);
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
}

// Opening fails; nothing may be left open or mapped, and nothing returned.
class OpenFailureTest : public BoardTest {
 protected:
  void ExpectOpenFails(const char *device, int error) {
    const unsigned descriptors = OpenDescriptors();
    vdio_board *board = reinterpret_cast<vdio_board *>(0x1);
    EXPECT_EQ(vdio_open(device, &board), -error) << (device ? device : "(default device)");
    EXPECT_EQ(board, reinterpret_cast<vdio_board *>(0x1)) << "*board set on failure";
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(varnik_sim_open_mappings(), 0u);
    EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
  }

  std::string SmallFile() const {
    const std::string path = dir_ + "/small";
    std::ofstream(path) << "not a board";
    return path;
  }
};

TEST_F(OpenFailureTest, NoDeviceIsENOENT) {
  varnik_sim_set_board(nullptr);  // the machine has no memory device
  ExpectOpenFails(nullptr, ENOENT);
  ExpectOpenFails((dir_ + "/missing").c_str(), ENOENT);
}

TEST_F(OpenFailureTest, ARefusedOpenIsEACCES) {
  varnik_sim_fail(VARNIK_SIM_OPEN, EACCES, 1);
  ExpectOpenFails(nullptr, EACCES);
}

TEST_F(OpenFailureTest, ARefusedMappingIsEPERMWithBothPagesReleased) {
  varnik_sim_fail(VARNIK_SIM_MMAP, EPERM, 1);
  ExpectOpenFails(nullptr, EPERM);
  // The LED window refused after the GPIO window was mapped.
  varnik_sim_fail(VARNIK_SIM_MMAP, EPERM, 2);
  ExpectOpenFails(nullptr, EPERM);
}

TEST_F(OpenFailureTest, AFileThatIsNotABoardIsEINVALBeforeAnyAccess) {
  const std::string small = SmallFile();
  ExpectOpenFails(small.c_str(), EINVAL);
  // One byte short of the 32-bit space still holds both register pages, but
  // it is not a board file: the size is checked exactly.
  const std::string short_board = dir_ + "/short";
  std::ofstream(short_board).close();
  ASSERT_EQ(truncate(short_board.c_str(), 0xFFFFFFFFll), 0);
  ExpectOpenFails(short_board.c_str(), EINVAL);
  // The same through the preload: the simulated board's file is too small.
  ASSERT_EQ(varnik_sim_set_board(small.c_str()), 0);
  ExpectOpenFails(nullptr, EINVAL);
}

// Register pages that are holes would end the program with SIGBUS at its
// first access on a full file system: they get their storage at the open,
// or the open fails.
TEST_F(OpenFailureTest, ABoardFileWhoseRegisterPagesCannotGetStorageIsENOSPC) {
  const std::string holes = dir_ + "/holes";
  std::ofstream(holes).close();
  ASSERT_EQ(truncate(holes.c_str(), 0x100000000ll), 0);
  if (!ReportsHoles(holes.c_str()))
    GTEST_SKIP() << "the file system of " << dir_ << " does not report holes (SEEK_DATA)";
  FailFallocate(ENOSPC);
  ExpectOpenFails(holes.c_str(), ENOSPC);
  FailFallocate(0);
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(holes.c_str(), &board), 0);
  vdio_close(board);
  struct stat st {};
  ASSERT_EQ(stat(holes.c_str(), &st), 0);
  EXPECT_GE(st.st_blocks * 512, 2 * 4096) << "the register pages got no storage";
}

TEST_F(OpenFailureTest, ADirectoryOrAnotherDeviceIsEINVAL) {
  ExpectOpenFails(dir_.c_str(), EINVAL);
  ExpectOpenFails("/dev/null", EINVAL);
  ExpectOpenFails("/dev/zero", EINVAL);
}

TEST_F(OpenFailureTest, ANullBoardPointerIsEINVAL) {
  EXPECT_EQ(vdio_open(nullptr, nullptr), -EINVAL);
  vdio_close(nullptr);  // ignored
}

}  // namespace
