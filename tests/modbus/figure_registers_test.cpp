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
  int NewWatch(uint32_t, uint32_t, uint32_t, vdio_watch **) const override { return -EOPNOTSUPP; }

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
