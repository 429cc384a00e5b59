// Internal to the project's tools; not a stable interface.
//
// How a tool ends: its exit statuses, the usage error it throws for a bad
// word of the command line, and its one-line messages on standard error,
// each starting with the tool's name.
#ifndef VARNIK_TOOLS_TOOL_MESSAGES_H
#define VARNIK_TOOLS_TOOL_MESSAGES_H

#include <functional>
#include <stdexcept>
#include <string>

namespace varnik::tools {

enum ExitStatus : int {
  kExitOk = 0,
  kExitDeviceError = 1,
  kExitUsage = 2,
  kExitTimeout = 124,      // as timeout(1)
  kExitInterrupted = 130,  // 128 + SIGINT, also for SIGHUP and SIGTERM
};

// A bad command line; the message names the word that is wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Standard output could not be written: a full disk, a reader gone.
class OutputError : public std::runtime_error {
 public:
  OutputError(const std::string &message, int error_number)
      : std::runtime_error(message), error_number_(error_number) {}
  int error_number() const { return error_number_; }

 private:
  int error_number_;
};

// Flushes standard output; OutputError when this or an earlier write of it
// failed, so that a tool never ends with 0 having written nothing.
void FlushOutput();

// Prints the output error and returns kExitDeviceError. A reader that left
// (a closed pipe, as with `| head`) gets no message: it wanted no more.
int ReportOutputError(const OutputError &error);

// The name that starts every message ("dioctl"); set once, by main.
void SetProgramName(const std::string &name);
const std::string &ProgramName();

// "NAME: message" and a line end on standard error.
void PrintError(const std::string &message);

// A daemon's log line as it is (no name: the journal adds its own), and a
// line end, on standard error.
void PrintLine(const std::string &line);

// Where PrintError and PrintLine send their lines from now on, without the
// line end (a daemon's LogQueue); an empty sink: standard error again.
using MessageSink = std::function<void(const std::string &line)>;
void SetMessageSink(MessageSink sink);

// Prints the usage error's message and returns kExitUsage.
int ReportUsageError(const std::string &message);

}  // namespace varnik::tools

#endif
