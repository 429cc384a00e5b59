// A signal on one input of a board file, as a pulse source wired to the
// board would give it: a thread of its own writes the input's register byte
// at absolute times of the monotonic clock, so that its pulses do not drift.
// Several generators may drive different inputs of one board at once.
// Plain C++ and threads, no test framework: the tests and the benchmark
// share it.
#ifndef VARNIK_TESTS_SIGNAL_GENERATOR_H
#define VARNIK_TESTS_SIGNAL_GENERATOR_H

#include <cstdint>
#include <string>
#include <thread>

namespace varnik::test {

// count pulses, each high_ns at level 1 then low_ns at level 0.
struct PulseShape {
  uint64_t high_ns = 0;
  uint64_t low_ns = 0;
  uint64_t count = 0;
};

// count pulses at hz, high for duty (0..1) of each period.
PulseShape PulsesAt(double hz, double duty, uint64_t count);

struct GeneratorReport {
  uint64_t edges = 0;          // edges written
  uint64_t worst_late_ns = 0;  // the worst edge, how long after it was due
  // Edges later than half the shorter of high_ns and low_ns: enough to
  // squeeze a pulse or a gap below what a sampler could see.
  uint64_t late_edges = 0;
  std::string error;           // why it could not drive the input; empty when it did
};

class SignalGenerator {
 public:
  // Sets input (0..7) to level 0 at once, then starts its pulses low_ns
  // later, from a thread of its own.
  SignalGenerator(const std::string &board_path, int input, const PulseShape &shape);
  ~SignalGenerator();
  SignalGenerator(const SignalGenerator &) = delete;
  SignalGenerator &operator=(const SignalGenerator &) = delete;

  // Waits for the last pulse's fall; then how the edges went.
  GeneratorReport Wait();

 private:
  void Run(uint64_t start_ns);
  bool WriteLevel(int level);

  PulseShape shape_;
  uint32_t address_;
  int fd_ = -1;
  uint8_t inactive_byte_ = 0;  // the register byte at level 0, its other bits kept
  GeneratorReport report_;
  std::thread thread_;
};

}  // namespace varnik::test

#endif
