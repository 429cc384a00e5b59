#include "hold.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "argument_parsing.h"
#include "claim_refusal.h"
#include "interrupt.h"
#include "line_names.h"
#include "tool_messages.h"

namespace dioctl {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::FormatDuration;
using varnik::tools::Microseconds;
using varnik::tools::UsageError;
using Clock = std::chrono::steady_clock;

constexpr DurationRange kLeaseRange{std::chrono::milliseconds(10), std::chrono::hours(24)};
constexpr size_t kMaxConsumerLength = sizeof(vdio_claim::consumer) - 1;
// --safe's bits: the DO mask in bits 0..7, the LED mask in bits 8..10, as
// the lines' numbers from DO0 on.
constexpr unsigned kSafeMaskMax = (VDIO_OUTPUT_LINES | VDIO_LED_LINES) >> VDIO_DO0;
// With no lease, dioctl still asks now and then, so that a lost service
// ends the hold rather than leave dioctl holding nothing.
constexpr std::chrono::milliseconds kIdleCheck{1000};

void RequireHoldFor(const HoldOptions &options) {
  const std::pair<const std::optional<std::string> &, const char *> given[] = {
      {options.safe, "--safe"}, {options.lease, "--lease"}, {options.consumer, "--consumer"}};
  for (const auto &[value, name] : given)
    if (value) throw UsageError(std::string("set: ") + name + " applies to a claim: add --hold");
}

uint32_t SafeValues(const std::string &text, uint32_t lines) {
  uint32_t values;
  try {
    values = varnik::tools::ParseMask(text, kSafeMaskMax, "--safe") << VDIO_DO0;
  } catch (const UsageError &e) {
    throw UsageError(std::string(e.what()) + ", or keep");
  }
  const uint32_t stray = values & ~lines;
  if (stray != 0)
    throw UsageError("--safe: '" + text + "' gives a safe value to " +
                     JoinLineNames(LinesOf(stray)) +
                     ", which is not set; bits 0..7 are DO0..DO7 and bits 8..10 LED1..LED3, of "
                     "the lines set only (or keep)");
  return values;
}

uint32_t LeaseMs(const std::optional<std::string> &text) {
  if (!text) return 0;
  const Microseconds lease = varnik::tools::ParseDuration("--lease", *text, kLeaseRange);
  if (lease.count() % 1000 != 0)
    throw UsageError("--lease: '" + *text + "' is not a whole number of milliseconds");
  return static_cast<uint32_t>(lease.count() / 1000);
}

std::string Consumer(const std::optional<std::string> &text) {
  if (!text) return "dioctl";
  bool printable = !text->empty() && text->size() <= kMaxConsumerLength;
  for (const char c : *text) printable = printable && c >= 0x20 && c < 0x7f;
  if (!printable)
    throw UsageError("--consumer: '" + *text + "' is not a name of 1 to " +
                     std::to_string(kMaxConsumerLength) + " printable ASCII characters");
  return *text;
}

// "DO3=0 LED1=1", or "left as they are".
std::string DescribeSafeValues(const HoldPlan &plan) {
  if (plan.keep) return "left as they are";
  std::string text = "safe values";
  for (const int line : LinesOf(plan.lines))
    text += std::string(" ") + vdio_line_name(line) + "=" +
            ((plan.safe_values >> line) & 1u ? "1" : "0");
  return text;
}

void RequireService(const BoardHandle &board) {
  if (vdio_device_kind(board.get()) != VDIO_DEVICE_SERVICE)
    throw std::runtime_error(
        "--hold needs the board service (dio-boardd): it keeps the claim and applies the safe "
        "values once dioctl is gone, and a device opened directly has nobody to do that; give "
        "the service's socket with --device");
}

void Claim(vdio_board *board, const HoldPlan &plan) {
  struct vdio_claim claim {};
  claim.size = sizeof claim;
  claim.lines = plan.lines;
  claim.safe_values = plan.safe_values;
  claim.flags = plan.keep ? VDIO_CLAIM_KEEP : 0;
  claim.lease_ms = plan.lease_ms;
  plan.consumer.copy(claim.consumer, kMaxConsumerLength);
  CheckedWrite(board, plan.lines, vdio_claim(board, &claim));
}

void AnnounceHold(const HoldPlan &plan) {
  const std::string lease =
      plan.lease_ms == 0 ? "no lease"
                         : "lease " + FormatDuration(std::chrono::milliseconds(plan.lease_ms));
  std::printf("holding %s for %s (%s; %s); press Ctrl-C to release\n",
              JoinLineNames(LinesOf(plan.lines)).c_str(), plan.consumer.c_str(),
              DescribeSafeValues(plan).c_str(), lease.c_str());
  varnik::tools::FlushOutput();
}

// The levels of the driven lines now, as a line set.
uint32_t DrivenLevels(vdio_board *board) {
  vdio_state state{};
  Checked(vdio_read(board, &state));
  return static_cast<uint32_t>(state.outputs) << VDIO_DO0 |
         static_cast<uint32_t>(state.leds) << VDIO_LED1;
}

// Requests on the claim's own connection, which feed the lease. A lease
// that ran out anyway (dioctl was stopped, or starved) ends the hold: the
// service put the lines to their safe values, which the first request
// after does not undo, so a held line no longer at its level tells it.
void FeedLease(vdio_board *board, const HoldPlan &plan) {
  vdio_claim_info info{};
  info.size = sizeof info;
  const std::vector<int> lines = LinesOf(plan.lines);
  const int held = Checked(vdio_get_claim(board, lines.front(), &info));
  if (held != 1 || (info.flags & VDIO_CLAIM_INFO_MINE) == 0)
    throw HoldEnded("the board service no longer holds " + JoinLineNames(lines) +
                    " for dioctl; the hold has ended");
  const bool moved = ((DrivenLevels(board) ^ plan.levels) & plan.lines) != 0;
  if (moved && plan.lease_ms == 0)
    throw HoldEnded(JoinLineNames(lines) +
                    " changed without the board service (a program wrote the registers "
                    "directly); the hold has ended");
  if (moved || (info.flags & VDIO_CLAIM_INFO_LEASE_OUT) != 0)
    throw HoldEnded("the lease ran out (dioctl sent nothing for " +
                    FormatDuration(std::chrono::milliseconds(plan.lease_ms)) +
                    "): the board service put " + JoinLineNames(lines) +
                    (lines.size() == 1 ? " to its safe value" : " to their safe values") +
                    "; the hold has ended");
}

// Until a stop signal, a request every third of the lease.
void HoldUntilStopped(vdio_board *board, const HoldPlan &plan) {
  const Clock::duration feed_every =
      plan.lease_ms == 0 ? Clock::duration(kIdleCheck)
                         : Clock::duration(std::chrono::milliseconds(plan.lease_ms)) / 3;
  Clock::time_point next = Clock::now() + feed_every;
  while (SleepUntil(next)) {
    FeedLease(board, plan);
    next = Clock::now() + feed_every;
  }
}

}  // namespace

std::optional<HoldPlan> PlanHold(const HoldOptions &options,
                                 const std::vector<Assignment> &assignments) {
  if (!options.hold) {
    RequireHoldFor(options);
    return std::nullopt;
  }
  HoldPlan plan{WrittenLines(assignments), WrittenLevels(assignments), 0, false,
                LeaseMs(options.lease), Consumer(options.consumer)};
  plan.keep = options.safe && *options.safe == "keep";
  if (options.safe && !plan.keep) plan.safe_values = SafeValues(*options.safe, plan.lines);
  if (plan.keep && plan.lease_ms != 0)
    throw UsageError("--safe keep with --lease: a lease that runs out still drives the lines to "
                     "their safe values, which keep does not give; give them with --safe MASK");
  return plan;
}

int HoldWhileSetting(BoardHandle &board, const HoldPlan &plan,
                     const std::vector<Assignment> &assignments) {
  RequireService(board);
  Claim(board.get(), plan);
  for (const Assignment &assignment : assignments) ApplyAssignment(board.get(), assignment);
  AnnounceHold(plan);
  HoldUntilStopped(board.get(), plan);
  Checked(vdio_release(board.get(), plan.lines));
  const std::vector<int> lines = LinesOf(plan.lines);
  const bool one = lines.size() == 1;
  std::printf("released %s (%s)\n", JoinLineNames(lines).c_str(),
              plan.keep ? (one ? "left as it is" : "left as they are")
                        : (one ? "now at its safe value" : "now at their safe values"));
  return InterruptedStatus();
}

}  // namespace dioctl
