// dioctl show: every line at a glance, once or redrawn until interrupted.
#include <chrono>
#include <cstdio>
#include <memory>

#include "argument_parsing.h"
#include "board_handle.h"
#include "front_panel.h"
#include "interrupt.h"
#include "level_report.h"
#include "tool_messages.h"
#include "verbs.h"

namespace dioctl {

namespace {

using varnik::tools::DurationRange;
using varnik::tools::Microseconds;

constexpr DurationRange kIntervalRange{std::chrono::milliseconds(1), std::chrono::seconds(10)};
const char kCursorUpRows[] = "\x1b[3F";  // to the start of the panel's first row
const char kClearToLineEnd[] = "\x1b[K";

struct ShowOptions {
  bool json = false;
  bool watch = false;
  std::string interval = "200ms";
};

bool SameState(const vdio_state &a, const vdio_state &b) {
  return a.inputs == b.inputs && a.outputs == b.outputs && a.leds == b.leds;
}

// A terminal gets the panel redrawn over the last one; anything else gets
// each new panel after the last, with a blank line between.
void PrintPanel(const vdio_state &state, PanelStyle style, bool redraw) {
  if (redraw) std::fputs(style.marks ? kCursorUpRows : "\n", stdout);
  for (const std::string &row : RenderFrontPanel(state, style))
    std::printf("%s%s\n", row.c_str(), style.marks ? kClearToLineEnd : "");
  varnik::tools::FlushOutput();
}

void PrintJson(const vdio_state &state) {
  std::printf("%s\n", FormatReadings(ReadingsOf(state, EveryLine()), ReportForm::kJson).c_str());
  varnik::tools::FlushOutput();
}

void PrintState(const vdio_state &state, const ShowOptions &options, bool again) {
  if (options.json)
    PrintJson(state);
  else
    PrintPanel(state, PanelStyleForStdout(), again);
}

vdio_state ReadState(const vdio_board *board) {
  vdio_state state{};
  Checked(vdio_read(board, &state));
  return state;
}

// Prints again whenever a line changed, until interrupted.
int WatchBoard(const vdio_board *board, const ShowOptions &options, Microseconds interval) {
  vdio_state shown = ReadState(board);
  PrintState(shown, options, false);
  auto next = std::chrono::steady_clock::now() + interval;
  while (SleepUntil(next)) {
    next += interval;
    const vdio_state now = ReadState(board);
    if (SameState(now, shown)) continue;
    shown = now;
    PrintState(shown, options, true);
  }
  return InterruptedStatus();
}

int RunShow(const ShowOptions &options, const GlobalOptions &globals) {
  const Microseconds interval =
      varnik::tools::ParseDuration("--interval", options.interval, kIntervalRange);
  BoardHandle board(globals.device);
  if (options.watch) return WatchBoard(board.get(), options, interval);
  PrintState(ReadState(board.get()), options, false);
  return 0;
}

}  // namespace

void AddShowVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<ShowOptions>();
  CLI::App *show = app.add_subcommand(
      "show", "Every line at a glance: inputs, outputs and LEDs as the board's front shows them");
  show->add_flag("--json", options->json, "Print the object of get --json, every line");
  CLI::Option *watch =
      show->add_flag("--watch", options->watch, "Show again at every change until interrupted");
  show->add_option("--interval", options->interval, "How often --watch looks at the board")
      ->type_name("DURATION")
      ->needs(watch)
      ->capture_default_str();
  verbs.push_back(Verb{show, [options, &globals] { return RunShow(*options, globals); }});
}

}  // namespace dioctl
