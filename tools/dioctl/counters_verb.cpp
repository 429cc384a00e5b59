// dioctl counters: the inputs' counts of rising and falling edges, their
// frequencies, on-times and latches, as the board service's sampler keeps
// them for every client; and clearing them.
//
// --clear prints no figures: there is no call that reads and clears at
// once, so figures read before the clear would leave out the edges between
// the two calls, and figures read after it are those since, near zero.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "board_handle.h"
#include "counter_report.h"
#include "line_names.h"
#include "service_figures.h"
#include "tool_messages.h"
#include "verbs.h"

namespace dioctl {

namespace {

using varnik::tools::UsageError;

struct CountersOptions {
  std::vector<std::string> names;
  std::vector<std::string> clear;
  bool json = false;
};

struct ClearKind {
  const char *word;
  uint32_t flag;
};

constexpr ClearKind kClearKinds[] = {{"counts", VDIO_CLEAR_COUNTS},
                                     {"latches", VDIO_CLEAR_LATCHES},
                                     {"on-time", VDIO_CLEAR_ON_TIME}};

// The inputs named (bit n = DIn); every input when none is.
uint32_t CountedInputs(const std::vector<std::string> &names) {
  if (names.empty()) return VDIO_INPUT_LINES;
  uint32_t bits = 0;
  for (const LineSet &set : ResolveAll(names)) {
    if (set.Direction() != VDIO_INPUT)
      throw UsageError("counters: " + set.name + " is not an input; counters are kept for the " +
                       "inputs (DI0..DI7) only");
    bits |= set.Bits();
  }
  return bits;
}

uint32_t ClearFlag(const std::string &word) {
  for (const ClearKind &kind : kClearKinds)
    if (word == kind.word) return kind.flag;
  // The likely slip: an input given where a kind goes.
  throw UsageError("--clear: '" + word +
                   "' is none of counts, latches, on-time; name the inputs outside its list, "
                   "before or after it: dioctl counters DI3 --clear counts");
}

uint32_t ClearFlags(const std::vector<std::string> &words) {
  uint32_t flags = 0;
  for (const std::string &word : words) flags |= ClearFlag(word);
  return flags;
}

// "counts, latches and on-time", in that order.
std::string ClearedText(uint32_t flags) {
  std::vector<std::string> words;
  for (const ClearKind &kind : kClearKinds)
    if (flags & kind.flag) words.emplace_back(kind.word);
  std::string text;
  for (size_t n = 0; n < words.size(); ++n) {
    if (n > 0) text += n + 1 == words.size() ? " and " : ", ";
    text += words[n];
  }
  return text;
}

std::string InputsText(uint32_t inputs) {
  return inputs == VDIO_INPUT_LINES ? "DI0..DI7" : JoinLineNames(LinesOf(inputs));
}

int ClearFigures(const BoardHandle &board, uint32_t inputs, uint32_t flags) {
  for (const int line : LinesOf(inputs)) ClearInputFigures(board, line, flags);
  std::printf("cleared %s of %s\n", ClearedText(flags).c_str(), InputsText(inputs).c_str());
  return varnik::tools::kExitOk;
}

int PrintFigures(const BoardHandle &board, uint32_t inputs, bool json) {
  const std::vector<InputFigures> figures = ReadInputFigures(board, inputs);
  const std::string text = json ? FormatCounterJson(figures) : FormatCounterTable(figures);
  std::fputs(text.c_str(), stdout);
  return varnik::tools::kExitOk;
}

int RunCounters(const CountersOptions &options, const GlobalOptions &globals) {
  const uint32_t inputs = CountedInputs(options.names);
  const uint32_t clear = ClearFlags(options.clear);
  BoardHandle board(globals.device);
  if (clear != 0) return ClearFigures(board, inputs, clear);
  return PrintFigures(board, inputs, options.json);
}

}  // namespace

void AddCountersVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<CountersOptions>();
  CLI::App *counters = app.add_subcommand(
      "counters",
      "The inputs' rising and falling edges counted by the board service, their frequencies "
      "(Hz, three decimals), on-times (time active, hours:minutes:seconds.milliseconds) and "
      "latches (rose, fell: an edge seen since they were cleared), all from one moment. Kept "
      "by the board service (dio-boardd) for every client and across its restarts: give its "
      "socket as the device");
  counters->add_option("NAMES", options->names, "Inputs (DI0..DI7, or DI for all; default: all)");
  CLI::Option *json = counters->add_flag(
      "--json", options->json,
      "One JSON object a line: line, rising, falling, frequency_mhz, on_time_ms, rose, fell");
  counters
      ->add_option("--clear", options->clear,
                   "Set to zero the counts (rising and falling), the latches or the on-time of "
                   "the inputs named (default: all), for every client, and say so; prints no "
                   "figures. Repeat it or give a list: --clear counts,latches; the inputs "
                   "may come before or after it")
      ->type_name("WHAT")
      ->delimiter(',')
      // One word a use, so that inputs named after it are not taken as kinds.
      ->allow_extra_args(false)
      ->excludes(json);
  verbs.push_back(Verb{counters, [options, &globals] { return RunCounters(*options, globals); }});
}

}  // namespace dioctl
