// dioctl pulse: turn a line to the other level for a while and back, once
// or several times, leaving it as it was found, even when interrupted.
#include <chrono>
#include <memory>
#include <optional>

#include "argument_parsing.h"
#include "board_handle.h"
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
    Checked(vdio_set(board, plan.line, !level));
    const bool slept = SleepUntil(pulse_start + plan.width);
    Checked(vdio_set(board, plan.line, level));
    if (!slept) return false;
    if (n + 1 < plan.count && !SleepUntil(pulse_start + plan.period)) return false;
  }
  return true;
}

int RunPulse(const PulseOptions &options, const GlobalOptions &globals) {
  const PulsePlan plan = PlanPulse(options);
  BoardHandle board(globals.device);
  const int level = Checked(vdio_get(board.get(), plan.line));
  return Pulse(board.get(), plan, level) ? varnik::tools::kExitOk : InterruptedStatus();
}

}  // namespace

void AddPulseVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<PulseOptions>();
  CLI::App *pulse = app.add_subcommand(
      "pulse", "Turn an output or LED to the other level and back; it ends as it began");
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
