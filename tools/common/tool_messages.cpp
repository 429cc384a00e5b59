#include "tool_messages.h"

#include <cstdio>

namespace varnik::tools {

namespace {
std::string &Name() {
  static std::string name = "tool";
  return name;
}
}  // namespace

void SetProgramName(const std::string &name) { Name() = name; }

const std::string &ProgramName() { return Name(); }

void PrintError(const std::string &message) {
  std::fflush(stdout);  // what was printed before the error stays before it
  std::fprintf(stderr, "%s: %s\n", ProgramName().c_str(), message.c_str());
}

int ReportUsageError(const std::string &message) {
  PrintError(message);
  return kExitUsage;
}

}  // namespace varnik::tools
