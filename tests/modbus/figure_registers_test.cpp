// The registers of the inputs' figures, on a stand-in board whose sampler
// moves on at every read: so a request whose registers came from two reads
// shows it, which a real service's timing would show only now and then.
#include <gtest/gtest.h>
#include <modbus.h>

#include <array>
#include <cerrno>
#include <utility>
#include <vector>

#include "input_counters.h"
#include "input_figures.h"
#include "register_map.h"
#include "watchdog.h"

namespace {

using namespace dio_modbusd;

class StandInLines final : public LineIo {
 public:
  explicit StandInLines(bool kept) : kept_(kept) {
    for (auto &input : figures) input.size = sizeof input;
  }

  // Each read is the next sample: every input has risen once more.
  int ReadInputStats(vdio_input_stats stats[VDIO_INPUT_COUNT]) const override {
    ++reads;
    if (!kept_) return -EOPNOTSUPP;
    for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) stats[n] = figures[n];
    for (auto &input : figures) ++input.rising;
    return 0;
  }
  int ClearInputStats(int line, uint32_t what) override {
    if (!kept_) return -EOPNOTSUPP;
    clears.emplace_back(line, what);
    return 0;
  }

  vdio_state Read() const override { return {}; }
  uint8_t ReadInputs() const override { return 0; }
  bool WriteOutputs(uint8_t, uint8_t) override { return true; }
  bool WriteLeds(uint8_t, uint8_t) override { return true; }
  std::optional<LineHolder> HolderOf(int) const override { return std::nullopt; }
  int Claim(const struct vdio_claim &) override { return 0; }
  bool ThroughService() const override { return true; }

  mutable std::array<vdio_input_stats, VDIO_INPUT_COUNT> figures{};
  mutable int reads = 0;
  std::vector<std::pair<int, uint32_t>> clears;

 private:
  bool kept_;
};

class FigureRegistersTest : public ::testing::Test {
 protected:
  explicit FigureRegistersTest(FigureKeeper keeper = FigureKeeper::kService)
      : lines_(keeper == FigureKeeper::kService),
        counters_(Microseconds(0), 0x00, TimePoint{}),
        watchdog_(std::nullopt, TimePoint{}),
        map_(lines_, counters_, watchdog_, false, false, keeper) {}

  // The words of a read (0x04 input, 0x03 holding), or the exception code
  // as the one element of an exception reply's.
  std::vector<unsigned> Read(uint8_t function, unsigned start, unsigned count) {
    const uint8_t pdu[] = {function, static_cast<uint8_t>(start >> 8),
                           static_cast<uint8_t>(start), 0, static_cast<uint8_t>(count)};
    return Words(map_.Handle(pdu, sizeof pdu));
  }
  // Writes values from start (0x10), or one value (0x06): an empty vector
  // when it succeeded, else the exception code.
  std::vector<unsigned> Write(unsigned start, const std::vector<uint16_t> &values,
                              bool single = false) {
    std::vector<uint8_t> pdu = {single ? uint8_t{0x06} : uint8_t{0x10},
                                static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start)};
    if (!single) {
      pdu.insert(pdu.end(), {0, static_cast<uint8_t>(values.size()),
                             static_cast<uint8_t>(2 * values.size())});
    }
    for (uint16_t value : values) pdu.insert(pdu.end(), {uint8_t(value >> 8), uint8_t(value)});
    const Answer answer = map_.Handle(pdu.data(), pdu.size());
    if (answer.exception) return {answer.pdu[1]};
    return {};
  }

  static std::vector<unsigned> Words(const Answer &answer) {
    if (answer.exception) return {answer.pdu[1]};
    std::vector<unsigned> words;
    for (size_t i = 2; i + 1 < answer.pdu.size(); i += 2)
      words.push_back(answer.pdu[i] << 8 | answer.pdu[i + 1]);
    return words;
  }

  StandInLines lines_;
  InputCounters counters_;
  Watchdog watchdog_;
  RegisterMap map_;
};

TEST_F(FigureRegistersTest, AnInputsBlockHoldsItsFiguresHighWordFirst) {
  vdio_input_stats &di2 = lines_.figures[2];
  di2.rising = 0x1'2345'6789;  // beyond 32 bits: the low 32 are served
  di2.falling = 0x0001'0002;
  di2.frequency_mhz = 50'000;
  di2.on_time_ms = 70'000'999;  // 70,000 s and not quite one more
  di2.latches = VDIO_INPUT_ROSE | VDIO_INPUT_FELL;
  EXPECT_EQ(Read(0x04, 120, 10),
            (std::vector<unsigned>{0x2345, 0x6789, 0x0001, 0x0002, 0x0000, 0xC350, 0x0001, 0x1170,
                                   3, 0}));
  lines_.figures[7].latches = VDIO_INPUT_FELL;
  EXPECT_EQ(Read(0x04, 178, 2), (std::vector<unsigned>{2, 0})) << "DI7's latches and reserved";
  lines_.figures[7].rising = 0x0003'0007;
  EXPECT_EQ(Read(0x04, 10, 1), (std::vector<unsigned>{7}))
      << "register 3 + n: the low 16 bits of DIn's rising count";
}

TEST_F(FigureRegistersTest, ARequestIsOneSampleWhateverSpanItAsks) {
  std::vector<unsigned> all = Read(0x04, 100, 80);
  ASSERT_EQ(all.size(), 80u);
  for (unsigned input = 0; input < 8; ++input)
    EXPECT_EQ(all[10 * input + 1], 0u) << "DI" << input << " from the same sample as DI0";
  EXPECT_EQ(lines_.reads, 1);
  EXPECT_EQ(Read(0x04, 108, 4), (std::vector<unsigned>{0, 0, 0, 1})) << "DI0's end, DI1's start";
  EXPECT_EQ(Read(0x04, 0, 12), (std::vector<unsigned>{0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 0}));
  EXPECT_EQ(lines_.reads, 3);
  Read(0x04, 0, 3);
  Read(0x04, 11, 1);
  EXPECT_EQ(lines_.reads, 3) << "no counts asked, no read of the service";
}

TEST_F(FigureRegistersTest, AClearRegisterTakesAMaskOfWhatToClearAndReadsZero) {
  EXPECT_EQ(Write(103, {VDIO_CLEAR_COUNTS | VDIO_CLEAR_ON_TIME}, true), std::vector<unsigned>{});
  EXPECT_EQ(Write(100, {VDIO_CLEAR_COUNTS, VDIO_CLEAR_LATCHES, 7}), std::vector<unsigned>{});
  const std::vector<std::pair<int, uint32_t>> cleared = {
      {VDIO_DI3, VDIO_CLEAR_COUNTS | VDIO_CLEAR_ON_TIME},
      {VDIO_DI0, VDIO_CLEAR_COUNTS},
      {VDIO_DI1, VDIO_CLEAR_LATCHES},
      {VDIO_DI2, VDIO_CLEAR_COUNTS | VDIO_CLEAR_LATCHES | VDIO_CLEAR_ON_TIME}};
  EXPECT_EQ(lines_.clears, cleared);
  for (uint16_t bad : {0x0, 0x8, 0xF, 0xFFFF})
    EXPECT_EQ(Write(107, {bad}, true), std::vector<unsigned>{MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE})
        << "mask " << bad;
  EXPECT_EQ(Write(100, {1, 1, 1, 1, 1, 1, 1, 0}),
            std::vector<unsigned>{MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE});
  EXPECT_EQ(lines_.clears, cleared) << "a refused write clears nothing";
  EXPECT_EQ(Read(0x03, 100, 8), std::vector<unsigned>(8, 0));
  // Holding register 2 keeps its meaning, a mask of inputs, on the
  // service's counts.
  EXPECT_EQ(Write(2, {0x81}, true), std::vector<unsigned>{});
  EXPECT_EQ(lines_.clears.back(), (std::pair<int, uint32_t>{VDIO_DI7, VDIO_CLEAR_COUNTS}));
  EXPECT_EQ(lines_.clears.end()[-2], (std::pair<int, uint32_t>{VDIO_DI0, VDIO_CLEAR_COUNTS}));
  EXPECT_EQ(lines_.clears.size(), cleared.size() + 2);
}

TEST_F(FigureRegistersTest, AddressesAroundTheBlocksAreException2) {
  const std::vector<unsigned> address = {MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS};
  EXPECT_EQ(Read(0x04, 12, 1), address);
  EXPECT_EQ(Read(0x04, 99, 1), address);
  EXPECT_EQ(Read(0x04, 99, 2), address) << "one below the first block";
  EXPECT_EQ(Read(0x04, 179, 2), address) << "one past the last block";
  EXPECT_EQ(Read(0x04, 11, 90), address) << "across the gap";
  EXPECT_EQ(Read(0x03, 108, 1), address);
  EXPECT_EQ(Read(0x03, 3, 1), address);
  EXPECT_EQ(Write(99, {1, 1}), address);
  EXPECT_EQ(Write(107, {1, 1}), address);
  EXPECT_EQ(lines_.clears.size(), 0u);
}

class DirectBoardFiguresTest : public FigureRegistersTest {
 protected:
  DirectBoardFiguresTest() : FigureRegistersTest(FigureKeeper::kGateway) {}
};

TEST_F(DirectBoardFiguresTest, NobodyKeepsThemSoTheyAreException2AndTheGatewayCounts) {
  const std::vector<unsigned> address = {MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS};
  EXPECT_EQ(Read(0x04, 100, 10), address);
  EXPECT_EQ(Read(0x03, 100, 1), address);
  EXPECT_EQ(Write(100, {1}, true), address);
  counters_.Update(0x10, TimePoint{} + std::chrono::milliseconds(1));
  EXPECT_EQ(Read(0x04, 3, 8), (std::vector<unsigned>{0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Write(2, {0x10}, true), std::vector<unsigned>{});
  EXPECT_EQ(Read(0x04, 7, 1), std::vector<unsigned>{0});
  EXPECT_EQ(lines_.reads, 0);
}

class OlderServiceFiguresTest : public FigureRegistersTest {
 protected:
  OlderServiceFiguresTest() : FigureRegistersTest(FigureKeeper::kOlderService) {}
};

TEST_F(OlderServiceFiguresTest, TheyAreException4AndTheGatewayCounts) {
  const std::vector<unsigned> failure = {MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE};
  EXPECT_EQ(Read(0x04, 100, 80), failure);
  EXPECT_EQ(Read(0x03, 107, 1), failure);
  EXPECT_EQ(Write(100, {1, 2}), failure);
  counters_.Update(0x01, TimePoint{} + std::chrono::milliseconds(1));
  EXPECT_EQ(Read(0x04, 3, 1), std::vector<unsigned>{1});
  EXPECT_EQ(Write(2, {0x01}, true), std::vector<unsigned>{});
  EXPECT_EQ(Read(0x04, 3, 1), std::vector<unsigned>{0});
}

}  // namespace
