// dioctl pulse: turn a line to the other level for a while and back, once
// or several times, leaving it as it was found, even when interrupted.
// Through the board service, the service pulses the line and dioctl waits
// until it is done; a stop signal ends the wait, and the service still
// finishes the pulses.
#include <chrono>
#include <memory>
#include <optional>

#include "argument_parsing.h"
#include "board_handle.h"
#include "claim_refusal.h"
#include "interrupt.h"
#include "line_names.h"
#include "tool_messages.h"
#include "verbs.h"

namespace dioctl {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::Microseconds;
using varnik::tools::ParseDuration;
using Clock = std::chrono::steady_clock;

constexpr DurationRange kWidthRange{Microseconds(1), std::chrono::minutes(60)};
constexpr DurationRange kPeriodRange{Microseconds(2), std::chrono::minutes(120)};
constexpr unsigned kMaxCount = 1'000'000;
// How often dioctl asks whether the service's pulse is over, once the
// time it should take has passed.
constexpr std::chrono::milliseconds kPulseOverCheck{5};

struct PulseOptions {
  std::string name;
  std::string width = "100ms";
  std::optional<std::string> period;  // default: twice the width
  unsigned count = 1;
};

struct PulsePlan {
  int line;
  Microseconds width;
  Microseconds period;
  unsigned count;
};

PulsePlan PlanPulse(const PulseOptions &options) {
  const int line = RequireSingleLine(ResolveLines(options.name), "pulse");
  RequireDriven(ResolveLines(options.name), "pulse");
  const Microseconds width = ParseDuration("--width", options.width, kWidthRange);
  const Microseconds period =
      options.period ? ParseDuration("--period", *options.period, kPeriodRange) : 2 * width;
  if (period <= width)
    throw varnik::tools::UsageError("--period: '" + *options.period +
                                    "' must be longer than the width, " +
                                    varnik::tools::FormatDuration(width));
  return PulsePlan{line, width, period, options.count};
}

// Pulse n starts at start + n * period and lasts width. false once
// interrupted; the line is back at its level either way.
bool Pulse(vdio_board *board, const PulsePlan &plan, int level) {
  const Clock::time_point start = Clock::now();
  for (unsigned n = 0; n < plan.count; ++n) {
    if (Interrupted()) return false;  // no pulse begun after the signal
    const Clock::time_point pulse_start = start + n * plan.period;
    CheckedWrite(board, 1u << plan.line, vdio_set(board, plan.line, !level));
    const bool slept = SleepUntil(pulse_start + plan.width);
    CheckedWrite(board, 1u << plan.line, vdio_set(board, plan.line, level));
    if (!slept) return false;
    if (n + 1 < plan.count && !SleepUntil(pulse_start + plan.period)) return false;
  }
  return true;
}

bool IsPulsing(vdio_board *board, int line) {
  vdio_claim_info info{};
  info.size = sizeof info;
  Checked(vdio_get_claim(board, line, &info));
  return (info.flags & VDIO_CLAIM_INFO_PULSING) != 0;
}

// The service pulses; dioctl sleeps until the last pulse should be over,
// then asks until it is. false once interrupted: the service goes on.
bool PulseThroughService(vdio_board *board, const PulsePlan &plan) {
  const Microseconds longest_period(VDIO_PULSE_MAX_PERIOD_US);
  if (plan.count > 1 && plan.period > longest_period)
    throw varnik::tools::UsageError("--period: the board service pulses with a period of at most " +
                                    varnik::tools::FormatDuration(longest_period));
  // Nobody can call a train back: the service bounds its whole length.
  const Microseconds longest_train(VDIO_PULSE_MAX_TRAIN_US);
  if ((plan.count - 1) * plan.period + plan.width > longest_train)
    throw varnik::tools::UsageError(
        "--count and --period: the board service pulses for at most " +
        varnik::tools::FormatDuration(longest_train) + " from the first pulse to the last");
  const Clock::time_point start = Clock::now();
  CheckedWrite(board, 1u << plan.line,
               vdio_pulse(board, plan.line, static_cast<uint64_t>(plan.width.count()), plan.count,
                          static_cast<uint64_t>(plan.period.count())));
  if (!SleepUntil(start + (plan.count - 1) * plan.period + plan.width)) return false;
  while (IsPulsing(board, plan.line))
    if (!SleepUntil(Clock::now() + kPulseOverCheck)) return false;
  return true;
}

int RunPulse(const PulseOptions &options, const GlobalOptions &globals) {
  const PulsePlan plan = PlanPulse(options);
  BoardHandle board(globals.device);
  bool finished;
  if (vdio_device_kind(board.get()) == VDIO_DEVICE_SERVICE) {
    finished = PulseThroughService(board.get(), plan);
  } else {
    const int level = Checked(vdio_get(board.get(), plan.line));
    finished = Pulse(board.get(), plan, level);
  }
  return finished ? varnik::tools::kExitOk : InterruptedStatus();
}

}  // namespace

void AddPulseVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<PulseOptions>();
  CLI::App *pulse = app.add_subcommand(
      "pulse",
      "Turn an output or LED to the other level and back; it ends as it began. Through the "
      "board service, the service pulses the line and dioctl waits until it is done: a stop "
      "signal ends dioctl's wait, and the service still finishes the pulses");
  pulse->add_option("NAME", options->name, "One output or LED")->required();
  pulse->add_option("--width", options->width, "How long each pulse lasts (500us, 20ms, 1.5s, 2m)")
      ->type_name("DURATION")
      ->capture_default_str();
  pulse->add_option("--count", options->count, "How many pulses")
      ->type_name("N")
      ->check(CLI::Range(1u, kMaxCount))
      ->capture_default_str();
  pulse
      ->add_option("--period", options->period,
                   "From the start of one pulse to the next (default: twice the width)")
      ->type_name("DURATION");
  verbs.push_back(Verb{pulse, [options, &globals] { return RunPulse(*options, globals); }});
}

}  // namespace dioctl
