// dioctl watch and wait: changes of lines as they happen, seen by the
// board library's polling watcher.
#include <cstdint>
#include <memory>
#include <optional>

#include "argument_parsing.h"
#include "assignments.h"
#include "board_handle.h"
#include "command_line.h"
#include "device_errors.h"
#include "event_report.h"
#include "event_wait.h"
#include "interrupt.h"
#include "line_names.h"
#include "tool_messages.h"
#include "verbs.h"

namespace dioctl {

namespace {

using varnik::tools::AtLeastOne;
using varnik::tools::DurationRange;
using varnik::tools::Microseconds;
using varnik::tools::ParseDuration;
using varnik::tools::kExitOk;
using varnik::tools::kExitTimeout;

constexpr DurationRange kIntervalRange{Microseconds(VDIO_WATCH_MIN_INTERVAL_US),
                                       Microseconds(VDIO_WATCH_MAX_INTERVAL_US)};
constexpr DurationRange kDebounceRange{Microseconds(0), Microseconds(VDIO_WATCH_MAX_DEBOUNCE_US)};
constexpr DurationRange kTimeoutRange{Microseconds(1), std::chrono::hours(24 * 7)};
constexpr Microseconds kWaitInterval = std::chrono::milliseconds(5);

struct WatchOptions {
  std::vector<std::string> names;
  std::string interval = "10ms";
  std::string debounce = "0ms";
  std::optional<uint64_t> count;
  std::optional<std::string> timeout;
  bool initial = false;
  bool json = false;
};

// The watched lines as a line set for vdio_watch_new; every input if none.
uint32_t WatchedLines(const std::vector<std::string> &names) {
  if (names.empty()) return VDIO_INPUT_LINES;
  uint32_t bits = 0;
  for (const LineSet &set : ResolveAll(names)) bits |= set.Bits();
  return bits;
}

std::optional<Microseconds> ParseTimeout(const std::optional<std::string> &timeout) {
  if (!timeout) return std::nullopt;
  return ParseDuration("--timeout", *timeout, kTimeoutRange);
}

// A watcher that frees itself.
class Watcher {
 public:
  Watcher(const BoardHandle &board, uint32_t lines, Microseconds interval, Microseconds debounce) {
    const int result = vdio_watch_new(board.get(), lines, static_cast<uint32_t>(interval.count()),
                                      static_cast<uint32_t>(debounce.count()), &watch_);
    if (result < 0) throw varnik::tools::DeviceError(board.device(), -result);
  }
  ~Watcher() { vdio_watch_free(watch_); }
  Watcher(const Watcher &) = delete;
  Watcher &operator=(const Watcher &) = delete;
  vdio_watch *get() const { return watch_; }

 private:
  vdio_watch *watch_ = nullptr;
};

// Prints each watched line's level as an initial event; returns the levels
// printed, bit n for line n.
uint32_t PrintInitialLevels(const vdio_board *board, uint32_t lines, EventForm form) {
  const int64_t now = WallClock::NowNs();
  uint32_t levels = 0;
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    if (((lines >> line) & 1u) == 0) continue;
    const int level = Checked(vdio_get(board, line));
    if (level == 1) levels |= 1u << line;
    PrintEvent(PrintedEvent{now, line, level, Edge::kInitial}, form);
  }
  return levels;
}

// The level last printed for each line. A line that changed between the
// watcher's start and the initial read already shows its new level: the
// event for that change repeats it and is not printed.
class PrintedLevels {
 public:
  explicit PrintedLevels(std::optional<uint32_t> initial) : levels_(initial) {}
  bool Repeats(const vdio_event &event) const {
    return levels_ && static_cast<int>((*levels_ >> event.line) & 1u) == event.value;
  }
  void Printed(const vdio_event &event) {
    if (!levels_) return;
    *levels_ = (*levels_ & ~(1u << event.line)) | (static_cast<uint32_t>(event.value) << event.line);
  }

 private:
  std::optional<uint32_t> levels_;
};

// What the watch ends with when no more events come.
int StatusWhenWaitEnds(WaitResult result, bool count_asked) {
  if (result == WaitResult::kInterrupted) return InterruptedStatus();
  return count_asked ? kExitTimeout : kExitOk;
}

int RunWatch(const WatchOptions &options, const GlobalOptions &globals) {
  const uint32_t lines = WatchedLines(options.names);
  const Microseconds interval = ParseDuration("--interval", options.interval, kIntervalRange);
  const Microseconds debounce = ParseDuration("--debounce", options.debounce, kDebounceRange);
  const std::optional<Microseconds> timeout = ParseTimeout(options.timeout);
  const EventForm form = options.json ? EventForm::kJson : EventForm::kText;

  BoardHandle board(globals.device);
  const WallClock clock;
  Watcher watcher(board, lines, interval, debounce);
  PrintedLevels printed(options.initial ? std::optional<uint32_t>(PrintInitialLevels(
                                               board.get(), lines, form))
                                         : std::nullopt);
  const Deadline deadline = DeadlineAfter(timeout);
  for (uint64_t seen = 0; !options.count || seen < *options.count;) {
    vdio_event event{};
    const WaitResult result = WaitForEvent(watcher.get(), deadline, &event);
    if (result != WaitResult::kEvent) return StatusWhenWaitEnds(result, options.count.has_value());
    if (printed.Repeats(event)) continue;
    PrintEvent(FromBoardEvent(event, clock), form);
    printed.Printed(event);
    ++seen;
  }
  return kExitOk;
}

int RunWait(const std::string &word, const std::optional<std::string> &timeout_text,
            const GlobalOptions &globals) {
  const Assignment wanted = ParseAssignment(word);
  const int line = RequireSingleLine(wanted.lines, "wait");
  const std::optional<Microseconds> timeout = ParseTimeout(timeout_text);

  BoardHandle board(globals.device);
  // Watching starts before the level is looked at, so a change between the
  // two is not missed.
  Watcher watcher(board, 1u << line, kWaitInterval, Microseconds(0));
  if (Checked(vdio_get(board.get(), line)) == static_cast<int>(wanted.value)) return kExitOk;
  const Deadline deadline = DeadlineAfter(timeout);
  for (;;) {
    vdio_event event{};
    const WaitResult result = WaitForEvent(watcher.get(), deadline, &event);
    if (result == WaitResult::kInterrupted) return InterruptedStatus();
    if (result == WaitResult::kTimedOut) return kExitTimeout;
    if (event.value == static_cast<int>(wanted.value)) return kExitOk;
  }
}

void AddWatch(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<WatchOptions>();
  CLI::App *watch = app.add_subcommand(
      "watch", "Print one line per change: seconds since the epoch, rising or falling, the line");
  watch->add_option("NAME", options->names, "Lines or groups to watch (default: every input)");
  watch->add_option("--interval", options->interval, "How often the lines are looked at")
      ->type_name("DURATION")
      ->capture_default_str();
  watch
      ->add_option("--debounce", options->debounce,
                   "How long a new level must hold before it counts")
      ->type_name("DURATION")
      ->capture_default_str();
  watch->add_option("--count", options->count, "Stop after N changes (exit 0; 124 at the timeout)")
      ->type_name("N")
      ->check(AtLeastOne());
  watch->add_option("--timeout", options->timeout, "Stop after this long")->type_name("DURATION");
  watch->add_flag("--initial", options->initial, "First print each line's level, edge 'initial'");
  watch->add_flag("--json", options->json, "One JSON object per event");
  verbs.push_back(Verb{watch, [options, &globals] { return RunWatch(*options, globals); }});
}

void AddWait(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto word = std::make_shared<std::string>();
  auto timeout = std::make_shared<std::optional<std::string>>();
  CLI::App *wait =
      app.add_subcommand("wait", "Return once a line has a level: exit 0, or 124 at the timeout");
  wait->add_option("ASSIGNMENT", *word, "NAME=LEVEL, one line (DI3=1, DO0=off)")->required();
  wait->add_option("--timeout", *timeout, "Give up after this long")->type_name("DURATION");
  verbs.push_back(
      Verb{wait, [word, timeout, &globals] { return RunWait(*word, *timeout, globals); }});
}

}  // namespace

void AddWatchVerbs(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  AddWatch(app, globals, verbs);
  AddWait(app, globals, verbs);
}

}  // namespace dioctl
