#include "input_figures.h"

#include <cerrno>

namespace dio_modbusd {

namespace {

enum FigureOffset : unsigned {
  kRisingHigh = 0,
  kRisingLow = 1,
  kFallingHigh = 2,
  kFallingLow = 3,
  kFrequencyHigh = 4,
  kFrequencyLow = 5,
  kOnTimeHigh = 6,
  kOnTimeLow = 7,
  kLatches = 8,
};

constexpr uint16_t HighWord(uint32_t value) { return static_cast<uint16_t>(value >> 16); }
constexpr uint16_t LowWord(uint32_t value) { return static_cast<uint16_t>(value & 0xFFFF); }

bool Within(unsigned start, unsigned count, unsigned first, unsigned size) {
  return start >= first && start + count <= first + size;
}

}  // namespace

FigureKeeper FindFigureKeeper(LineIo &lines) {
  if (!lines.ThroughService()) return FigureKeeper::kGateway;
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  return lines.ReadInputStats(stats) == -EOPNOTSUPP ? FigureKeeper::kOlderService
                                                   : FigureKeeper::kService;
}

bool AmongFigureRegisters(unsigned start, unsigned count) {
  return Within(start, count, kFirstFigureRegister, kFigureRegisters);
}

bool AmongClearRegisters(unsigned start, unsigned count) {
  return Within(start, count, kFirstClearRegister, kClearRegisters);
}

// The counts wrap at 32 bits and the on-time at 2^32 seconds, as a
// controller's 32-bit register pairs do.
uint16_t FigureRegister(const vdio_input_stats *stats, unsigned address) {
  const vdio_input_stats &input = stats[(address - kFirstFigureRegister) / kFigureBlock];
  const auto rising = static_cast<uint32_t>(input.rising);
  const auto falling = static_cast<uint32_t>(input.falling);
  const auto on_time_s = static_cast<uint32_t>(input.on_time_ms / 1000);
  switch ((address - kFirstFigureRegister) % kFigureBlock) {
    case kRisingHigh:
      return HighWord(rising);
    case kRisingLow:
      return LowWord(rising);
    case kFallingHigh:
      return HighWord(falling);
    case kFallingLow:
      return LowWord(falling);
    case kFrequencyHigh:
      return HighWord(input.frequency_mhz);
    case kFrequencyLow:
      return LowWord(input.frequency_mhz);
    case kOnTimeHigh:
      return HighWord(on_time_s);
    case kOnTimeLow:
      return LowWord(on_time_s);
    case kLatches:
      return static_cast<uint16_t>(input.latches & (VDIO_INPUT_ROSE | VDIO_INPUT_FELL));
    default:
      return 0;  // reserved
  }
}

}  // namespace dio_modbusd
