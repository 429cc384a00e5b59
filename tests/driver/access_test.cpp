// How a register access uses the device: the calls, their arguments and
// order, the flushes of standard output between them, and the one-line
// report with exit status 1 when the device fails.
#include "board_fixture.h"
#include "board_registers.h"
#include "varnik_dio.h"
#include "varnik_dio_sim.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

using AccessProtocolTest = BoardTest;

TEST_F(AccessProtocolTest, EveryAccessOpensMapsUnmapsAndClosesAfresh) {
  const uint32_t address = board::kOutput[3];
  ReadMMap(address);
  ReadMMap(address);
  WriteMap(address, 0x01);
  GPIOWriteToPin(3, 1);

  EXPECT_EQ(board::DeviceCalls(Trace()), board::Accesses(4, "0xfdae0000"));
  EXPECT_EQ(varnik_sim_open_descriptors(), 0u);
  EXPECT_EQ(varnik_sim_open_mappings(), 0u);
}

// Standard output is flushed after the open, after the mapping and before
// the unmapping: text the caller printed without a line end is out before
// the device is mapped, and the access leaves nothing in the buffer.
TEST_F(AccessProtocolTest, StandardOutputIsFlushedAroundEveryAccess) {
  FILE *saved = stdout;
  stdout = fopen("/dev/null", "w");
  ASSERT_NE(stdout, nullptr);
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);

  fputs("before the access", stdout);
  ReadMMap(board::kInput[0]);
  fputs("before the write", stdout);
  WriteMap(board::kOutput[0], 0x01);

  fclose(stdout);
  stdout = saved;
  const std::vector<std::string> expected = {
      "open flags=0x101002 pending=17",
      "fflush stdout pending=17",
      "mmap length=4096 prot=0x3 flags=0x1 offset=0xfdae0000 pending=0",
      "fflush stdout pending=0",
      "fflush stdout pending=0",
      "munmap length=4096 offset=0xfdae0000 pending=0",
      "close pending=0",
      "open flags=0x101002 pending=16",
      "fflush stdout pending=16",
      "mmap length=4096 prot=0x3 flags=0x1 offset=0xfdae0000 pending=0",
      "fflush stdout pending=0",
      "fflush stdout pending=0",
      "munmap length=4096 offset=0xfdae0000 pending=0",
      "close pending=0",
  };
  EXPECT_EQ(Trace(), expected);
}

struct FailurePoint {
  const char *name;
  varnik_sim_call call;
  int error;
  int line;
  bool write;
};

const FailurePoint kFailurePoints[] = {
    {"ReadMMapOpen", VARNIK_SIM_OPEN, EACCES, 106, false},
    {"ReadMMapMap", VARNIK_SIM_MMAP, EPERM, 112, false},
    {"ReadMMapUnmap", VARNIK_SIM_MUNMAP, EINVAL, 121, false},
    {"WriteMapOpen", VARNIK_SIM_OPEN, ENOENT, 131, true},
    {"WriteMapMap", VARNIK_SIM_MMAP, ENOMEM, 137, true},
    {"WriteMapUnmap", VARNIK_SIM_MUNMAP, EINVAL, 148, true},
};

class AccessFailureTest : public BoardTest,
                          public ::testing::WithParamInterface<FailurePoint> {
 protected:
  static std::string ExpectedReport(const FailurePoint &point) {
    std::string report = "^Error at line " + std::to_string(point.line) +
                         ", file varnik_dio\\.cpp \\(" + std::to_string(point.error) +
                         "\\) \\[" + strerror(point.error) + "\\]\n$";
    return report;
  }

  std::string OutputPath() const { return dir_ + "/stdout"; }

  void AccessAfterPrinting(const FailurePoint &point) const {
    if (freopen(OutputPath().c_str(), "w", stdout) == nullptr) _exit(3);
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    fputs("printed first", stdout);
    varnik_sim_fail(point.call, point.error, 1);
    if (point.write) {
      WriteMap(board::kOutput[0], 0x01);
    } else {
      ReadMMap(board::kOutput[0]);
    }
  }
};

TEST_P(AccessFailureTest, ReportsTheFailurePointAndExitsWithStatusOne) {
  const FailurePoint &point = GetParam();
  EXPECT_EXIT(AccessAfterPrinting(point), ::testing::ExitedWithCode(1),
              ExpectedReport(point));

  // The text the caller printed before the access is not lost.
  std::ifstream output(OutputPath());
  const std::string printed((std::istreambuf_iterator<char>(output)),
                            std::istreambuf_iterator<char>());
  EXPECT_EQ(printed, "printed first");

  // The failing call was the last the driver made (the process's own exit
  // may flush stdout once more on a descriptor left open), and the caller's
  // text was out before the mapping was tried.
  const std::vector<std::string> trace = Trace();
  const size_t calls_made = point.call == VARNIK_SIM_OPEN ? 1 : point.call == VARNIK_SIM_MMAP ? 3 : 6;
  ASSERT_GE(trace.size(), calls_made) << ::testing::PrintToString(trace);
  EXPECT_NE(trace[calls_made - 1].find("error=" + std::to_string(point.error)), std::string::npos)
      << ::testing::PrintToString(trace);
  for (size_t i = calls_made; i < trace.size(); ++i) {
    EXPECT_EQ(trace[i].rfind("fflush stdout", 0), 0u) << trace[i];
  }
  if (calls_made > 1) {
    EXPECT_EQ(trace[2].rfind("mmap ", 0), 0u) << trace[2];
    EXPECT_NE(trace[2].find("pending=0"), std::string::npos) << trace[2];
  }
}

TEST_P(AccessFailureTest, LineFunctionsEndTheProcessTheSameWay) {
  const FailurePoint &point = GetParam();
  EXPECT_EXIT(
      {
        varnik_sim_fail(point.call, point.error, 1);
        if (point.write) {
          GPIOWriteToPin(0, 1);
        } else {
          uint8_t level = 0;
          GPIOReadFromPin(0, &level);
        }
      },
      ::testing::ExitedWithCode(1), ExpectedReport(point));
}

INSTANTIATE_TEST_SUITE_P(EachFailurePoint, AccessFailureTest, ::testing::ValuesIn(kFailurePoints),
                         [](const ::testing::TestParamInfo<FailurePoint> &info) {
                           return std::string(info.param.name);
                         });

// Without a board (and no device on this machine) the very first access
// reports the open check and never tries to map.
TEST_F(AccessProtocolTest, NoDeviceEndsTheFirstAccessAtTheOpenCheck) {
  EXPECT_EXIT(
      {
        varnik_sim_set_board(nullptr);
        QelLEDSetValue(1, 1);
      },
      ::testing::ExitedWithCode(1),
      "^Error at line 131, file varnik_dio\\.cpp \\(2\\) \\[No such file or directory\\]\n$");
  EXPECT_EQ(board::DeviceCalls(Trace()),
            std::vector<std::string>{"open flags=0x101002 error=2"});
}

}  // namespace
