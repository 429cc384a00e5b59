// Internal to the project's tools; not a stable interface.
//
// Reading the command line with CLI11 the way every tool of the project
// does: --help and --version print and end the run with 0, and any other
// parse error is a one-line usage error naming the word, exit status 2.
#ifndef VARNIK_TOOLS_COMMAND_LINE_H
#define VARNIK_TOOLS_COMMAND_LINE_H

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>

namespace varnik::tools {

// Adds --version, which prints "PROGRAM VERSION".
void AddVersionFlag(CLI::App &app, const std::string &version);

// A count that must be a whole number of at least 1: "--count: must be at
// least 1" rather than CLI11's range of doubles.
CLI::Validator AtLeastOne();

// A value that must not be empty: "an empty value names no WHAT".
CLI::Validator NotEmpty(const std::string &what);

// What a daemon's main does once its command line is read: runs start,
// and turns what it throws into the exit status and the one line every
// tool prints (a UsageError 2, with a pointer to --help; a DeviceError and
// any other failure to start 1).
int RunReportingStartErrors(const std::function<int()> &start);

// Parses argv into app. The exit status when the parse alone ends the run
// (help, version, a bad command line); nothing when the tool should go on.
std::optional<int> ParseCommandLine(CLI::App &app, int argc, const char *const *argv);

}  // namespace varnik::tools

#endif
