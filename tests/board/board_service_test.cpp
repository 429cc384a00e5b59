// What only a board held through the board service has: the connection it
// holds, the service lost under it, a watcher's descriptor and its bounded
// queue, and the default device that leads to the service.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "board_api_fixture.h"
#include "board_registers.h"
#include "varnik_dio_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

// Well under the library's 5 s reply timeout: a lost service is found at
// once, not by waiting for it.
constexpr auto kPromptly = std::chrono::seconds(2);

class ServiceTest : public BoardApiTest {
 protected:
  void TearDown() override {
    vdio_watch_free(watch_);
    BoardApiTest::TearDown();
  }

  static bool Readable(int fd, int timeout_ms) {
    pollfd readable = {fd, POLLIN, 0};
    return poll(&readable, 1, timeout_ms) == 1;
  }

  vdio_watch *watch_ = nullptr;
};
BOARD_API_SERVICE_TEST_P(ServiceTest);

TEST_P(ServiceTest, TheBoardHoldsOneConnectionUntilClosed) {
  EXPECT_EQ(vdio_device_kind(board_), VDIO_DEVICE_SERVICE);
  EXPECT_EQ(MappingsOf(board_path_), 0u) << "a board through the service maps nothing";
  vdio_board *second = nullptr;
  const unsigned before = OpenDescriptors();
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &second), 0);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  vdio_close(second);
  EXPECT_EQ(OpenDescriptors(), before);
}

// Killed, so that it says nothing: a waiting watcher wakes, and every call
// finds out at once rather than at the reply timeout.
TEST_P(ServiceTest, AServiceKilledUnderItsClientsGivesErrorsNotHangsOrSignals) {
  ASSERT_EQ(vdio_watch_new(board_, 1u << VDIO_DI0, 1000, 0, &watch_), 0);
  auto waiting = std::async(std::launch::async, [this] {
    vdio_event event;
    return vdio_watch_next(watch_, -1, &event);
  });
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  const auto killed = Clock::now();
  service_->Stop(SIGKILL, 5);

  ASSERT_EQ(waiting.wait_for(kPromptly), std::future_status::ready) << "the watcher still waits";
  EXPECT_EQ(waiting.get(), -ECONNRESET);
  vdio_event event;
  EXPECT_EQ(vdio_watch_next(watch_, -1, &event), -ENOTCONN);
  const int first = vdio_set(board_, VDIO_DO0, 1);
  EXPECT_TRUE(first == -ECONNRESET || first == -ENOTCONN) << first;
  EXPECT_EQ(vdio_get(board_, VDIO_DI0), -ENOTCONN);
  vdio_state state{};
  EXPECT_EQ(vdio_read(board_, &state), -ENOTCONN);
  EXPECT_EQ(vdio_write_outputs(board_, 0xFF, 0), -ENOTCONN);
  EXPECT_LT(Clock::now() - killed, kPromptly);
  vdio_watch *late = nullptr;
  EXPECT_EQ(vdio_watch_new(board_, 1, 1000, 0, &late), -ECONNREFUSED);
}

TEST_P(ServiceTest, TheWatchersDescriptorIsReadableWhenAnEventWaits) {
  ASSERT_EQ(vdio_watch_new(board_, 1u << VDIO_DI3, 1000, 0, &watch_), 0);
  const int fd = vdio_watch_fd(watch_);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(Readable(fd, 50));
  Poke(board::kInput[3], board::kInputActive);
  ASSERT_TRUE(Readable(fd, 2000));
  vdio_event event;
  ASSERT_EQ(vdio_watch_next(watch_, 0, &event), 1);
  EXPECT_EQ(event.line, VDIO_DI3);
  EXPECT_EQ(event.edge, VDIO_RISING);
  EXPECT_FALSE(Readable(fd, 0));
  EXPECT_EQ(vdio_watch_fd(nullptr), -EINVAL);
}

// A watcher that does not read while its lines change many times: the
// service keeps a bounded backlog, then drops it and its backlog; the few
// changes its socket still held come first, in order, then -ENOBUFS for
// good.
TEST_P(ServiceTest, AWatcherThatFallsTooFarBehindIsToldENOBUFS) {
  constexpr int kFlips = 400;  // 11 lines each: well beyond the backlog
  ASSERT_EQ(vdio_watch_new(board_, VDIO_OUTPUT_LINES | VDIO_LED_LINES, 1000, 0, &watch_), 0);
  for (int flip = 0; flip < kFlips; ++flip) {
    const uint8_t level = flip % 2 == 0 ? 0xFF : 0x00;
    ASSERT_EQ(vdio_write_outputs(board_, 0xFF, level), 0);
    ASSERT_EQ(vdio_write_leds(board_, 0x07, level), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // a sample between flips
  }
  int events = 0, result;
  vdio_event event;
  int expected_value = 1;
  while ((result = vdio_watch_next(watch_, 2000, &event)) == 1) {
    ++events;
    if (event.line == VDIO_DO0) {
      EXPECT_EQ(event.value, expected_value) << "event " << events;
      expected_value ^= 1;
    }
  }
  EXPECT_EQ(result, -ENOBUFS) << "after " << events << " events";
  EXPECT_LE(events, 64) << "stale events before the overflow";
  EXPECT_EQ(vdio_watch_next(watch_, 0, &event), -ENOBUFS);
}

// vdio_open(NULL): the variable when it is set and not empty; else the
// service's fixed socket when there is one there (this test cannot make
// one), else "/dev/mem", here the preload's board.
TEST_P(ServiceTest, TheDefaultDeviceIsTheVariablesThenTheFixedOnes) {
  struct Case {
    const char *value;
    int kind;
  };
  const Case cases[] = {{socket_path_.c_str(), VDIO_DEVICE_SERVICE},
                        {board_path_.c_str(), VDIO_DEVICE_BOARD_FILE},
                        {"", VDIO_DEVICE_BOARD_FILE},
                        {nullptr, VDIO_DEVICE_BOARD_FILE}};
  struct stat st;
  const bool service_installed = lstat(VDIO_SERVICE_SOCKET, &st) == 0;
  ASSERT_EQ(varnik_sim_set_board(board_path_.c_str()), 0);  // the preload's, for "/dev/mem"
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value != nullptr ? std::string("VARNIK_DIO_DEVICE=") + c.value
                                    : std::string("VARNIK_DIO_DEVICE unset"));
    if (c.value == nullptr || *c.value == '\0') {
      if (service_installed) continue;  // it would be this machine's service
    }
    if (c.value != nullptr)
      setenv(VDIO_DEVICE_VARIABLE, c.value, 1);
    else
      unsetenv(VDIO_DEVICE_VARIABLE);
    vdio_board *board = nullptr;
    const int opened = vdio_open(nullptr, &board);
    setenv(VDIO_DEVICE_VARIABLE, "/dev/mem", 1);
    ASSERT_EQ(opened, 0);
    EXPECT_EQ(vdio_device_kind(board), c.kind);
    Poke(board::kInput[5], board::kInputActive);
    EXPECT_EQ(vdio_get(board, VDIO_DI5), 1) << "not the test's board";
    Poke(board::kInput[5], board::kInputInactive);
    vdio_close(board);
  }
}

}  // namespace
