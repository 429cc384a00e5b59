// The driver library and the board API on the same board see each other's
// writes: in one process, and from another process, as two programs on one
// board would.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "board_api_fixture.h"
#include "varnik_dio.h"

namespace {

// The driver always goes through the device, so the board API here does too.
class InteropTest : public BoardApiTest {};
INSTANTIATE_TEST_SUITE_P(Preload, InteropTest, testing::Values(Road::kThroughPreload), RoadName);

// Runs body in a child process and waits for it; the child's exit status is
// what body returns.
int InChild(int (*body)()) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_P(InteropTest, DriverWritesAreSeenThroughTheHeldMapping) {
  ASSERT_EQ(GPO_Write(0xA5), 0);
  ASSERT_EQ(QelLEDSetValue(2, 1), 1);
  vdio_state state{};
  ASSERT_EQ(vdio_read(board_, &state), 0);
  EXPECT_EQ(state.outputs, 0xA5);
  EXPECT_EQ(state.leds, 0x02);
}

TEST_P(InteropTest, BoardApiWritesAreSeenByTheDriver) {
  ASSERT_EQ(vdio_write_outputs(board_, 0xFF, 0x3C), 0);
  ASSERT_EQ(vdio_set(board_, VDIO_LED3, 1), 0);
  uint16_t outputs = 0;
  ASSERT_EQ(GPO_Read(&outputs), 0);
  EXPECT_EQ(outputs, 0x3C);
  EXPECT_EQ(QelLEDCount(), 0x04);
}

TEST_P(InteropTest, AnotherProcessesWritesAreSeenBothWays) {
  // The child drives the outputs through the driver...
  EXPECT_EQ(InChild([] { return GPO_Write(0x81) == 0 ? 0 : 1; }), 0);
  EXPECT_EQ(vdio_get(board_, VDIO_DO0), 1);
  EXPECT_EQ(vdio_get(board_, VDIO_DO7), 1);
  EXPECT_EQ(vdio_get(board_, VDIO_DO3), 0);
  // ...and through a board of its own; this process's held mapping sees it.
  EXPECT_EQ(InChild([] {
              vdio_board *board = nullptr;
              if (vdio_open(nullptr, &board) != 0) return 1;
              const int result = vdio_write_outputs(board, 0xFF, 0x18);
              vdio_close(board);
              return result == 0 ? 0 : 1;
            }),
            0);
  uint16_t outputs = 0;
  ASSERT_EQ(GPO_Read(&outputs), 0);
  EXPECT_EQ(outputs, 0x18);
  vdio_state state{};
  ASSERT_EQ(vdio_read(board_, &state), 0);
  EXPECT_EQ(state.outputs, 0x18);
}

}  // namespace
