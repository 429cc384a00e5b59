// The input functions of the eight inputs, from the sampler's samples: each
// input debounced on its own, then its rising and falling edges counted,
// its frequency over a sliding window, its two latches and its time at
// level 1. Plain bookkeeping, no clock and no lock of its own: the sampler
// (input_sampler.h) feeds it and guards it.
#ifndef DIO_BOARDD_INPUT_FUNCTIONS_H
#define DIO_BOARDD_INPUT_FUNCTIONS_H

#include <array>
#include <cstdint>
#include <vector>

#include "line_debounce.h"
#include "service_wire.h"

namespace dio_boardd {

constexpr int kInputs = 8;

struct InputSettings {
  std::array<uint64_t, kInputs> debounce_ns{};  // DI0..DI7
  uint64_t frequency_window_ns = 1'000'000'000;
  uint64_t interval_ns = 10'000'000;  // the sampler's: bounds the edges a window can hold
};

// What of an input survives a restart (the state file keeps it).
struct KeptFigures {
  uint64_t rising = 0;
  uint64_t falling = 0;
  uint64_t on_time_ns = 0;
  uint32_t latches = 0;  // VDIO_INPUT_ROSE | VDIO_INPUT_FELL
  bool operator==(const KeptFigures &other) const {
    return rising == other.rising && falling == other.falling &&
           on_time_ns == other.on_time_ns && latches == other.latches;
  }
};
using KeptInputs = std::array<KeptFigures, kInputs>;

class InputFunctions {
 public:
  // inputs: bit n the level of DIn at now, the starting point (no edge).
  InputFunctions(const InputSettings &settings, uint8_t inputs, uint64_t now);

  // Carries on from figures kept before a restart.
  void Restore(const KeptInputs &kept);

  // One sample: bit n the level of DIn, seen at now (after the last one).
  void Observe(uint8_t inputs, uint64_t now);

  // Every input's figures as of the last sample (on-time counted up to it,
  // frequency over the window that ends at it).
  std::array<varnik::wire::InputFigures, kInputs> Figures() const;
  KeptInputs Kept() const;

  // what: VDIO_CLEAR_* flags, checked by the caller; input 0..7.
  void Clear(int input, uint32_t what);

  uint64_t last_sample_ns() const { return last_sample_ns_; }

 private:
  struct Input {
    varnik::board::LineDebounce debounce;
    KeptFigures kept;
    uint64_t on_since_ns = 0;  // when it went to 1, while at 1
    // When its on-time was last cleared: a rise seen before it, counted
    // after it (debounced), counts its on-time from the clear.
    uint64_t on_time_cleared_ns = 0;
    // The times of its latest rising edges, oldest first (a ring).
    std::vector<uint64_t> rises;
    size_t first_rise = 0;
    size_t rise_count = 0;
  };

  void Edge(Input &input, int level, uint64_t at);
  uint32_t FrequencyMhz(const Input &input) const;

  InputSettings settings_;
  std::array<Input, kInputs> inputs_;
  uint64_t last_sample_ns_;
};

}  // namespace dio_boardd

#endif
