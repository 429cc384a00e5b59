// dioctl set --hold: the lines set are claimed through the board service
// and held until a stop signal, then released, so that the service puts
// them to their safe values; and, with a lease, the service does the same
// should dioctl fall silent.
#ifndef DIOCTL_HOLD_H
#define DIOCTL_HOLD_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "assignments.h"
#include "board_handle.h"

namespace dioctl {

// The hold ended without a stop signal: the lease ran out, or the service
// no longer holds the lines. main prints its message and exits 1.
class HoldEnded : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// set's options that shape a hold, as given on the command line.
struct HoldOptions {
  bool hold = false;
  std::optional<std::string> safe;  // MASK or "keep"
  std::optional<std::string> lease;
  std::optional<std::string> consumer;
};

// A claim, checked whole before the board is opened.
struct HoldPlan {
  uint32_t lines;        // a line set, bit n = line n
  uint32_t levels;       // the levels set, bit n = line n
  uint32_t safe_values;  // bit n = line n
  bool keep;             // VDIO_CLAIM_KEEP
  uint32_t lease_ms;     // 0: none
  std::string consumer;
};

// The claim of the lines the assignments set; UsageError naming the word
// for a --safe, --lease or --consumer that is wrong or given without
// --hold. nullopt without --hold.
std::optional<HoldPlan> PlanHold(const HoldOptions &options,
                                 const std::vector<Assignment> &assignments);

// Claims the plan's lines, writes the assignments, says so, holds them
// until a stop signal and releases them; returns the exit status. A board
// opened directly, with nobody to keep a claim, is refused before anything
// is written.
int HoldWhileSetting(BoardHandle &board, const HoldPlan &plan,
                     const std::vector<Assignment> &assignments);

}  // namespace dioctl

#endif
