// dio-sim: the simulated board's own tool. Makes and resets board files,
// sets inputs as the outside world would, and runs unmodified programs on
// a board.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "dio_sim_board.h"
#include "dio_sim_error.h"
#include "dio_sim_inputs.h"
#include "dio_sim_paths.h"
#include "dio_sim_run.h"
#include "tool_messages.h"

namespace {

using namespace dio_sim;

struct Arguments {
  std::string board;
  std::vector<std::string> input_words;
  RunRequest run;
};

struct Subcommands {
  CLI::App *make_new;
  CLI::App *path;
  CLI::App *inputs;
  CLI::App *run;
};

Subcommands Describe(CLI::App &app, Arguments &args) {
  app.add_option("--board", args.board,
                 "The board file (default: VARNIK_SIM_BOARD, else "
                 "$XDG_STATE_HOME/varnik_dio/board.img, XDG_STATE_HOME defaulting to "
                 "~/.local/state)")
      ->type_name("FILE");
  app.set_version_flag("--version", "dio-sim " VARNIK_VERSION, "Print dio-sim's version and exit");
  app.require_subcommand(1);
  Subcommands sub{};
  sub.make_new = app.add_subcommand(
      "new", "Make a fresh board: every output inactive, LEDs dark, inputs inactive. An "
             "existing board is reset in place; any other file is refused.");
  sub.make_new->footer("Example: dio-sim --board /tmp/board.img new");
  sub.path = app.add_subcommand("path", "Print the board file's path");
  sub.path->footer("Example: dio-sim path");
  sub.inputs = app.add_subcommand(
      "inputs", "Set inputs as the outside world would: NAME=LEVEL (DI0..DI7; 0, 1, on, off, "
                "active, inactive) or one MASK of all eight (0x3c: bit n is DIn, 1 active)");
  sub.inputs->add_option("SETTING", args.input_words, "NAME=LEVEL... or MASK")->required();
  sub.inputs->footer("Examples: dio-sim inputs DI0=1 DI3=off\n          dio-sim inputs 0x3c");
  sub.run = app.add_subcommand(
      "run", "Run an unmodified program with the simulated board preloaded on the board "
             "(made if missing); dio-sim's exit status is then the program's own");
  sub.run->add_option("--trace", args.run.trace, "Append a line per device call to FILE")
      ->type_name("FILE");
  sub.run->add_option("--fail", args.run.fail,
                      "Make open, mmap or munmap of the device fail with ERRNO, the NTH such call (default 1)")
      ->type_name("CALL:ERRNO[:NTH]");
  sub.run->add_option("COMMAND", args.run.command, "-- then the program and its arguments")
      ->required();
  sub.run->footer(
      "Example: dio-sim --board /tmp/board.img run --trace /tmp/trace -- build/sample/Sample\n"
      "Refused (status 2): statically linked, set-user-ID/group-ID or file-capability "
      "programs, and programs of a word size with no simulated board built or installed.");
  return sub;
}

std::string BoardPath(const Arguments &args) {
  if (args.board.empty()) return DefaultBoardPath();
  return Absolute(args.board);
}

// The default board's folders are made as needed; a board named with
// --board must be in a folder that exists.
std::string WritableBoardPath(const Arguments &args) {
  const std::string board = BoardPath(args);
  if (args.board.empty()) MakeFoldersAbove(board);
  return board;
}

void Dispatch(const Subcommands &sub, Arguments &args) {
  if (sub.path->parsed()) {
    std::printf("%s\n", BoardPath(args).c_str());
    varnik::tools::FlushOutput();
  } else if (sub.make_new->parsed()) {
    MakeFreshBoard(WritableBoardPath(args));
  } else if (sub.inputs->parsed()) {
    const InputLevels levels = ParseInputLevels(args.input_words);
    const std::string board = WritableBoardPath(args);
    ApplyInputLevels(OpenBoard(board).get(), board, levels);
  } else if (sub.run->parsed()) {
    args.run.board = WritableBoardPath(args);
    RunProgram(args.run);
  }
}

// One line for a command line that cannot be followed, naming the word
// that was not understood where there is one.
int UsageError(const CLI::App &app, const CLI::ParseError &error) {
  std::string hint = "dio-sim --help";
  for (const CLI::App *sub : app.get_subcommands()) hint = "dio-sim " + sub->get_name() + " --help";
  const std::vector<std::string> unknown = app.remaining();
  if (app.get_subcommands().empty() && !unknown.empty())
    std::cerr << "dio-sim: " << Quoted(unknown.front())
              << " is not a subcommand or option of dio-sim: give new, path, inputs or run";
  else
    std::cerr << "dio-sim: " << error.what();
  std::cerr << " (see " << hint << ")\n";
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  varnik::tools::SetProgramName("dio-sim");
  CLI::App app{"The simulated board's own tool", "dio-sim"};
  Arguments args;
  const Subcommands sub = Describe(app, args);
  try {
    app.parse(argc, argv);
    if (app.count("--board") != 0 && args.board.empty())
      throw ToolError(kExitUsage, "--board needs a file name, not an empty one");
    Dispatch(sub, args);
  } catch (const CLI::ParseError &error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    return UsageError(app, error);
  } catch (const ToolError &error) {
    std::cerr << "dio-sim: " << error.what() << '\n';
    return error.status();
  } catch (const varnik::tools::OutputError &error) {
    return varnik::tools::ReportOutputError(error);
  }
  return 0;
}
