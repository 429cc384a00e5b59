// The inputs' figures and the sampler's health, seen from the board
// library: refused where nobody keeps them, checked before anything is
// sent, and read field by field from a stand-in service, or refused whole.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "board_fixture.h"
#include "fake_service.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using wire::Message;

class InputStatsTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    socket_path_ = dir_ + "/board.sock";
  }

  std::string socket_path_;
};

vdio_input_stats Sized() {
  vdio_input_stats stats{};
  stats.size = sizeof stats;
  return stats;
}

// Different figures for every input, so that a mix-up shows.
wire::InputFigures FiguresOf(size_t input) {
  wire::InputFigures figures;
  figures.rising = (uint64_t{1} << 40) + input;
  figures.falling = 1000 + input;
  figures.on_time_ms = 5000 + input;
  figures.frequency_mhz = 20000 + static_cast<uint32_t>(input);
  figures.latches = input % 4;
  figures.debounce_us = 100 * static_cast<uint32_t>(input);
  return figures;
}

std::vector<uint8_t> StatsReply(uint32_t bad_latches_of_di5 = 0) {
  Message reply;
  reply.operation = wire::kReadInputStats;
  std::vector<uint8_t> bytes(wire::kInputStatsSize);
  wire::Encode(reply, bytes.data());
  for (size_t n = 0; n < wire::kInputCount; ++n) {
    wire::InputFigures figures = FiguresOf(n);
    if (n == 5) figures.latches |= bad_latches_of_di5;
    wire::PutInputFigures(bytes.data() + wire::kMessageSize + n * wire::kInputFiguresSize,
                          figures);
  }
  return bytes;
}

TEST_F(InputStatsTest, NobodyKeepsThemOnABoardOpenedDirectly) {
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(board_path_.c_str(), &board), 0);
  vdio_input_stats stats = Sized();
  vdio_input_stats all[VDIO_INPUT_COUNT] = {Sized(), Sized(), Sized(), Sized(),
                                            Sized(), Sized(), Sized(), Sized()};
  vdio_sampler_info info{};
  info.size = sizeof info;
  EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI0, &stats), -EOPNOTSUPP);
  EXPECT_EQ(vdio_read_all_input_stats(board, all), -EOPNOTSUPP);
  EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DI0, VDIO_CLEAR_COUNTS), -EOPNOTSUPP);
  EXPECT_EQ(vdio_get_sampler_info(board, &info), -EOPNOTSUPP);
  EXPECT_EQ(vdio_read_input_stats(nullptr, VDIO_DI0, &stats), -EINVAL);
  EXPECT_EQ(vdio_clear_input_stats(nullptr, VDIO_DI0, VDIO_CLEAR_COUNTS), -EINVAL);
  vdio_close(board);
}

// A service of the version before input functions, one not restarted since
// an upgrade: the library speaks its version and sends it nothing it would
// not know (it would close the connection on an unknown operation).
TEST_F(InputStatsTest, AServiceOfTheVersionBeforeThemIsNotAsked) {
  std::vector<uint16_t> operations;  // read once the stand-in is gone
  {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &hello) {
      const uint32_t version = hello.size() >= 12 ? wire::GetU32(hello.data() + 8) : 0;
      Message answer = FakeService::HelloAnswer(2);
      if (version != 2) answer.status = -EPROTO;
      FakeService::Send(connection, answer);
      if (version != 2) return;
      for (Message request; (request = FakeService::Receive(connection)).operation != 0;) {
        operations.push_back(request.operation);
        request.status = 0;
        FakeService::Send(connection, request);
      }
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
    vdio_input_stats stats = Sized();
    EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI0, &stats), -EOPNOTSUPP);
    EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DI0, VDIO_CLEAR_COUNTS), -EOPNOTSUPP);
    EXPECT_EQ(vdio_release(board, 1u << VDIO_DO0), 0) << "claims work in version 2";
    vdio_close(board);
  }
  EXPECT_EQ(operations, (std::vector<uint16_t>{wire::kRelease}));
}

TEST_F(InputStatsTest, BadArgumentsNeverReachTheServiceAndAClearArrivesWhole) {
  std::vector<Message> received;  // read once the stand-in is gone
  {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
      FakeService::Send(connection, FakeService::HelloAnswer());
      for (Message request; (request = FakeService::Receive(connection)).operation != 0;) {
        received.push_back(request);
        request.status = 0;
        FakeService::Send(connection, request);
      }
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
    EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DO0, VDIO_CLEAR_COUNTS), -EINVAL);
    EXPECT_EQ(vdio_clear_input_stats(board, -1, VDIO_CLEAR_COUNTS), -EINVAL);
    EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DI3, 0), -EINVAL);
    EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DI3, 8), -EINVAL);
    vdio_input_stats stats = Sized();
    EXPECT_EQ(vdio_read_input_stats(board, VDIO_DO0, &stats), -EINVAL);
    EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI0, nullptr), -EINVAL);
    stats.size = 8;
    EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI0, &stats), -EINVAL);
    vdio_input_stats all[VDIO_INPUT_COUNT] = {Sized(), Sized(), Sized(), Sized(),
                                              Sized(), Sized(), Sized(), Sized()};
    all[7].size = 0;
    EXPECT_EQ(vdio_read_all_input_stats(board, all), -EINVAL);
    vdio_sampler_info info{};
    info.size = sizeof info - 8;
    EXPECT_EQ(vdio_get_sampler_info(board, &info), -EINVAL);

    EXPECT_EQ(vdio_clear_input_stats(board, VDIO_DI3, VDIO_CLEAR_COUNTS | VDIO_CLEAR_ON_TIME), 0);
    vdio_close(board);
  }
  ASSERT_EQ(received.size(), 1u) << "a bad argument reached the service";
  EXPECT_EQ(received[0].operation, wire::kClearInputStats);
  EXPECT_EQ(received[0].first, unsigned{VDIO_DI3});
  EXPECT_EQ(received[0].second, VDIO_CLEAR_COUNTS | VDIO_CLEAR_ON_TIME);
}

// Each input's figures land in its own struct, 64-bit counts whole; a reply
// with latches this library does not know, or of another size, is -EPROTO
// and fills nothing.
TEST_F(InputStatsTest, FiguresAreReadWholeOrRefused) {
  const std::vector<std::vector<uint8_t>> script = {
      StatsReply(), StatsReply(), StatsReply(4)};
  FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    for (const auto &reply : script) {
      FakeService::Receive(connection);
      FakeService::SendBytes(connection, reply);
    }
    FakeService::AwaitClose(connection, 5);
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  vdio_input_stats all[VDIO_INPUT_COUNT] = {Sized(), Sized(), Sized(), Sized(),
                                            Sized(), Sized(), Sized(), Sized()};
  ASSERT_EQ(vdio_read_all_input_stats(board, all), 0);
  for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) {
    const wire::InputFigures expected = FiguresOf(n);
    EXPECT_EQ(all[n].size, sizeof all[n]);
    EXPECT_EQ(all[n].rising, expected.rising) << "DI" << n;
    EXPECT_EQ(all[n].falling, expected.falling) << "DI" << n;
    EXPECT_EQ(all[n].on_time_ms, expected.on_time_ms) << "DI" << n;
    EXPECT_EQ(all[n].frequency_mhz, expected.frequency_mhz) << "DI" << n;
    EXPECT_EQ(all[n].latches, expected.latches) << "DI" << n;
    EXPECT_EQ(all[n].debounce_us, expected.debounce_us) << "DI" << n;
  }
  vdio_input_stats one = Sized();
  ASSERT_EQ(vdio_read_input_stats(board, VDIO_DI6, &one), 0);
  EXPECT_EQ(one.rising, FiguresOf(6).rising);
  EXPECT_EQ(one.latches, FiguresOf(6).latches);

  vdio_input_stats untouched = Sized();
  EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI5, &untouched), -EPROTO);
  EXPECT_EQ(untouched.rising, 0u) << "a refused reply fills nothing";
  vdio_close(board);
}

TEST_F(InputStatsTest, AShortReplyIsEPROTO) {
  FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    FakeService::Receive(connection);
    std::vector<uint8_t> reply = StatsReply();
    reply.resize(reply.size() - wire::kInputFiguresSize);
    FakeService::SendBytes(connection, reply);
    FakeService::AwaitClose(connection, 5);
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  vdio_input_stats stats = Sized();
  EXPECT_EQ(vdio_read_input_stats(board, VDIO_DI0, &stats), -EPROTO);
  EXPECT_EQ(stats.rising, 0u);
  vdio_close(board);
}

TEST_F(InputStatsTest, TheSamplersHealthIsReadWholeOrRefused) {
  const auto answer = [](uint32_t flags) {
    Message reply;
    reply.operation = wire::kGetSamplerInfo;
    reply.first = flags;
    reply.second = 1000;
    reply.third = 1'000'000;
    std::vector<uint8_t> bytes(wire::kSamplerInfoSize);
    wire::Encode(reply, bytes.data());
    wire::PutU64(bytes.data() + wire::kMessageSize, uint64_t{1} << 33);
    wire::PutU64(bytes.data() + wire::kMessageSize + 8, 17);
    wire::PutU64(bytes.data() + wire::kMessageSize + 16, 4'500'000);
    return bytes;
  };
  const std::vector<std::vector<uint8_t>> script = {answer(VDIO_SAMPLER_REALTIME), answer(2)};
  FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    for (const auto &reply : script) {
      FakeService::Receive(connection);
      FakeService::SendBytes(connection, reply);
    }
    FakeService::AwaitClose(connection, 5);
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  vdio_sampler_info info{};
  info.size = sizeof info;
  ASSERT_EQ(vdio_get_sampler_info(board, &info), 0);
  EXPECT_EQ(info.size, sizeof info);
  EXPECT_EQ(info.flags, VDIO_SAMPLER_REALTIME);
  EXPECT_EQ(info.frequency_window_ms, 1000u);
  EXPECT_EQ(info.interval_ns, 1'000'000u);
  EXPECT_EQ(info.samples, uint64_t{1} << 33);
  EXPECT_EQ(info.late_samples, 17u);
  EXPECT_EQ(info.worst_late_ns, 4'500'000u);
  EXPECT_EQ(vdio_get_sampler_info(board, &info), -EPROTO) << "a flag this library does not know";
  vdio_close(board);
}

}  // namespace
