// dioctl get, set and toggle: reading and driving levels. Every word is
// checked before the board is opened, so a bad one leaves it untouched.
#include <cstdio>
#include <memory>

#include "assignments.h"
#include "board_handle.h"
#include "claim_refusal.h"
#include "hold.h"
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

struct SetOptions {
  std::vector<std::string> words;
  HoldOptions hold;
};

int RunSet(const SetOptions &options, const GlobalOptions &globals) {
  std::vector<Assignment> assignments;
  for (const std::string &word : options.words) {
    assignments.push_back(ParseAssignment(word));
    RequireDriven(assignments.back().lines, "set");
  }
  const std::optional<HoldPlan> hold = PlanHold(options.hold, assignments);
  BoardHandle board(globals.device);
  if (hold) return HoldWhileSetting(board, *hold, assignments);
  // One write is all or nothing in itself; several are checked first.
  if (assignments.size() > 1) RequireWritable(board.get(), WrittenLines(assignments));
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
  uint32_t toggled = 0;
  for (const LineSet &set : sets) toggled |= set.Bits();
  if (sets.size() > 1 || sets.front().group) RequireWritable(board.get(), toggled);
  for (const LineSet &set : sets)
    for (int line = set.first; line < set.first + set.count; ++line)
      CheckedWrite(board.get(), 1u << line,
                   vdio_set(board.get(), line, !Checked(vdio_get(board.get(), line))));
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
  auto options = std::make_shared<SetOptions>();
  CLI::App *set = app.add_subcommand(
      "set", "Drive outputs and LEDs; nothing is written unless every argument is right");
  set->add_option("ASSIGNMENT", options->words,
                  "NAME=LEVEL (level 0/1, off/on, inactive/active) or DO=MASK, LED=MASK (0xa5)")
      ->required();
  set->add_flag("--hold", options->hold.hold,
                "Through the board service only: claim the lines set, so that no other program "
                "may write them, and hold them until interrupted (Ctrl-C, SIGTERM, SIGHUP); then "
                "release them, and the service puts them to their safe values, as it does "
                "should dioctl be killed");
  set->add_option("--safe", options->hold.safe,
                  "With --hold: the lines' safe values, bit n for DOn (bits 0..7, as DO=MASK) and "
                  "bit 8+n for LED(n+1) (bits 8..10, as LED=MASK moved up 8), only bits of the "
                  "lines set, such as 0x108 for DO3 and LED1 at 1 (default 0: every line "
                  "inactive); or keep: the lines stay as they are")
      ->type_name("MASK|keep");
  set->add_option("--lease", options->hold.lease,
                  "With --hold: should the service get no request from dioctl for this long "
                  "(dioctl asks every third of it), it puts the lines to their safe values and "
                  "dioctl ends with status 1 (10ms to 24h, whole milliseconds; default: no lease)")
      ->type_name("DURATION");
  set->add_option("--consumer", options->hold.consumer,
                  "With --hold: the name the claim shows to others and in the service's log, 1 "
                  "to 31 printable ASCII characters (default: dioctl)")
      ->type_name("NAME");
  verbs.push_back(Verb{set, [options, &globals] { return RunSet(*options, globals); }});
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
