// Claims seen from the board API: handles on the service's socket, claims
// made in this process or in a child to be killed, and the outputs as the
// board's registers show them.
#ifndef VARNIK_TESTS_CLAIM_FIXTURE_H
#define VARNIK_TESTS_CLAIM_FIXTURE_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "service_fixture.h"
#include "varnik_dio_board.h"

// A child process holding a claim until killed.
struct Holder {
  pid_t pid = -1;
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

  static std::chrono::microseconds SlowDuration(double seconds);

 private:
  std::vector<vdio_board *> boards_;
};

#endif
