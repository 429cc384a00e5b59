// Claims seen from the board API: handles on the service's socket, claims
// made in this process or in a child to be killed, and the outputs as the
// board's registers show them.
#ifndef VARNIK_TESTS_CLAIM_FIXTURE_H
#define VARNIK_TESTS_CLAIM_FIXTURE_H

#include <sys/types.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "service_fixture.h"
#include "varnik_dio_board.h"

#include <functional>

// A child process holding what it asked of the service until killed.
struct Holder {
  pid_t pid = -1;
};

// Whether the machine is much slower than the CI's x86-64 build: an
// emulator or a sanitizer, where timing bounds stretch and loads shrink.
bool SlowMachine();

// An output's level changes as seen on the board file, sampled every
// 100us or so: (microseconds since the first sample, level).
struct LevelChange {
  double at_us;
  int level;
};

class ClaimTest : public ServiceTest {
 protected:
  void TearDown() override;

  // A handle on the service, closed at the end of the test.
  vdio_board *Open();
  void CloseBoard(vdio_board *board);

  static struct vdio_claim Claim(uint32_t lines, uint32_t safe_values, uint32_t flags,
                                 uint32_t lease_ms, const std::string &consumer);
  // A kClaim message as the wire carries it, the consumer's bytes as they are.
  static std::vector<uint8_t> ClaimBytes(uint32_t lines, uint32_t safe_values, uint64_t flags,
                                         const std::string &consumer);

  // Bit n: DOn driven, from the registers.
  uint8_t OutputsOnBoard() const;
  // Writes every output through the service.
  void SetOutputsTo(uint8_t values);
  // Whether the outputs of mask show values within seconds.
  bool WaitForOutputs(uint8_t mask, uint8_t values, double seconds) const;

  // A child that claims claim through the service, then waits to be killed.
  Holder SpawnHolder(const struct vdio_claim &claim);
  // A child whose asking (on its own handle) succeeded, waiting to be killed.
  Holder SpawnChild(const std::function<bool(vdio_board *)> &asking);

  // The changes of output n within seconds of now, until it has changed
  // changes times; sampling, when given, is set once the first level is read.
  std::vector<LevelChange> SampleOutput(int output, double seconds, size_t changes,
                                        std::promise<void> *sampling = nullptr) const;

  static std::chrono::microseconds SlowDuration(double seconds);

 private:
  std::vector<vdio_board *> boards_;
};

#endif
