// dioctl get, set and toggle: reading and driving levels. Every word is
// checked before the board is opened, so a bad one leaves it untouched.
#include <cstdio>
#include <memory>

#include "assignments.h"
#include "board_handle.h"
#include "level_report.h"
#include "line_names.h"
#include "tool_messages.h"
#include "verbs.h"

namespace dioctl {

namespace {

struct GetOptions {
  std::vector<std::string> names;
  bool numeric = false;
  bool json = false;
};

int RunGet(const GetOptions &options, const GlobalOptions &globals) {
  const std::vector<LineSet> lines =
      options.names.empty() ? EveryLine() : ResolveAll(options.names);
  const ReportForm form = options.json      ? ReportForm::kJson
                          : options.numeric ? ReportForm::kNumeric
                                            : ReportForm::kNamed;
  BoardHandle board(globals.device);
  std::printf("%s\n", FormatReadings(ReadLevels(board.get(), lines), form).c_str());
  return 0;
}

int RunSet(const std::vector<std::string> &words, const GlobalOptions &globals) {
  std::vector<Assignment> assignments;
  for (const std::string &word : words) {
    assignments.push_back(ParseAssignment(word));
    RequireDriven(assignments.back().lines, "set");
  }
  BoardHandle board(globals.device);
  for (const Assignment &assignment : assignments) ApplyAssignment(board.get(), assignment);
  return 0;
}

// A line named twice ("DO3 DO3", "DO DO3") would flip back: refused.
void RequireEachLineOnce(const std::vector<LineSet> &sets) {
  uint32_t named = 0;
  for (const LineSet &set : sets) {
    if (named & set.Bits())
      throw varnik::tools::UsageError("toggle: " + set.name +
                                      " names a line already named; each line toggles once");
    named |= set.Bits();
  }
}

int RunToggle(const std::vector<std::string> &names, const GlobalOptions &globals) {
  const std::vector<LineSet> sets = ResolveAll(names);
  for (const LineSet &set : sets) RequireDriven(set, "toggle");
  RequireEachLineOnce(sets);
  BoardHandle board(globals.device);
  for (const LineSet &set : sets)
    for (int line = set.first; line < set.first + set.count; ++line)
      Checked(vdio_set(board.get(), line, !Checked(vdio_get(board.get(), line))));
  return 0;
}

void AddGet(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto options = std::make_shared<GetOptions>();
  CLI::App *get = app.add_subcommand(
      "get", "Print levels as NAME=LEVEL, groups (DI, DO, LED) as masks such as DO=0xa5");
  get->add_option("NAME", options->names,
                  "Lines or groups, in any case (default: every line, DI0..LED3)");
  CLI::Option *numeric = get->add_flag("--numeric", options->numeric, "Print the values alone");
  get->add_flag("--json", options->json, "Print one JSON object keyed by name")->excludes(numeric);
  verbs.push_back(Verb{get, [options, &globals] { return RunGet(*options, globals); }});
}

void AddSet(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto words = std::make_shared<std::vector<std::string>>();
  CLI::App *set = app.add_subcommand(
      "set", "Drive outputs and LEDs; nothing is written unless every argument is right");
  set->add_option("ASSIGNMENT", *words,
                  "NAME=LEVEL (level 0/1, off/on, inactive/active) or DO=MASK, LED=MASK (0xa5)")
      ->required();
  verbs.push_back(Verb{set, [words, &globals] { return RunSet(*words, globals); }});
}

void AddToggle(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  auto names = std::make_shared<std::vector<std::string>>();
  CLI::App *toggle = app.add_subcommand("toggle", "Turn outputs and LEDs to the other level");
  toggle->add_option("NAME", *names, "Outputs, LEDs, or the groups DO and LED")->required();
  verbs.push_back(Verb{toggle, [names, &globals] { return RunToggle(*names, globals); }});
}

}  // namespace

void AddLevelVerbs(CLI::App &app, const GlobalOptions &globals, VerbList &verbs) {
  AddGet(app, globals, verbs);
  AddSet(app, globals, verbs);
  AddToggle(app, globals, verbs);
}

}  // namespace dioctl
