// Internal to the project's tools; not a stable interface.
//
// How a tool ends: its exit statuses, the usage error it throws for a bad
// word of the command line, and its one-line messages on standard error,
// each starting with the tool's name.
#ifndef VARNIK_TOOLS_TOOL_MESSAGES_H
#define VARNIK_TOOLS_TOOL_MESSAGES_H

#include <stdexcept>
#include <string>

namespace varnik::tools {

enum ExitStatus : int {
  kExitOk = 0,
  kExitDeviceError = 1,
  kExitUsage = 2,
  kExitTimeout = 124,      // as timeout(1)
  kExitInterrupted = 130,  // 128 + SIGINT, also for SIGTERM
};

// A bad command line; the message names the word that is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The name that starts every message ("dioctl"); set once, by main.
void SetProgramName(const std::string &name);
const std::string &ProgramName();

// "NAME: message" and a line end on standard error.
void PrintError(const std::string &message);

// Prints the usage error's message and returns kExitUsage.
int ReportUsageError(const std::string &message);

}  // namespace varnik::tools

#endif
