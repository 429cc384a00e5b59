#include "tool_messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace varnik::tools {

namespace {
std::string &Name() {
  static std::string name = "tool";
  return name;
}

MessageSink &Sink() {
  static MessageSink sink;
  return sink;
}
}  // namespace

void SetProgramName(const std::string &name) { Name() = name; }

const std::string &ProgramName() { return Name(); }

void PrintError(const std::string &message) { PrintLine(ProgramName() + ": " + message); }

void PrintLine(const std::string &line) {
  if (Sink()) {
    Sink()(line);
    return;
  }
  std::fflush(stdout);  // what was printed before the line stays before it
  std::fprintf(stderr, "%s\n", line.c_str());
}

void FlushOutput() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) return;
  const int error_number = errno;
  std::clearerr(stdout);
  throw OutputError(std::string("cannot write the output: ") +
                        (error_number != 0 ? std::strerror(error_number) : "write error"),
                    error_number);
}

int ReportOutputError(const OutputError &error) {
  if (error.error_number() != EPIPE) PrintError(error.what());
  return kExitDeviceError;
}
void SetMessageSink(MessageSink sink) { Sink() = std::move(sink); }

int ReportUsageError(const std::string &message) {
  PrintError(message);
  return kExitUsage;
}

}  // namespace varnik::tools
