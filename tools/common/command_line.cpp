#include "command_line.h"

#include <algorithm>

#include "device_errors.h"
#include "tool_messages.h"

namespace varnik::tools {

namespace {

// CLI11's messages may run over several lines; a tool's error is one line.
std::string OneLine(std::string message) {
  while (!message.empty() && message.back() == '\n') message.pop_back();
  std::replace(message.begin(), message.end(), '\n', ' ');
  return message;
}

// CLI11 calls a missing and an unknown verb alike "A subcommand is
// required"; the user is told which word was not a verb.
std::string ParseErrorMessage(const CLI::App &app, const CLI::ParseError &e) {
  const bool verb_missing =
      dynamic_cast<const CLI::RequiredError *>(&e) != nullptr && app.get_subcommands().empty();
  if (!verb_missing) return OneLine(e.what());
  const std::vector<std::string> words = app.remaining();
  return words.empty() ? "no verb given" : "'" + words.front() + "' is not a verb";
}

}  // namespace

void AddVersionFlag(CLI::App &app, const std::string &version) {
  app.set_version_flag("--version", ProgramName() + " " + version, "Print the version and exit");
}

CLI::Validator AtLeastOne() {
  return CLI::Validator(
      [](const std::string &word) {
        const bool positive = !word.empty() && word.find_first_not_of("0123456789") == std::string::npos &&
                              word.find_first_not_of('0') != std::string::npos;
        return positive ? std::string() : std::string("must be at least 1");
      },
      "");  // no description: the help shows the type name alone
}

CLI::Validator NotEmpty(const std::string &what) {
  return CLI::Validator(
      [what](const std::string &text) {
        return text.empty() ? "an empty value names no " + what : std::string();
      },
      "");
}

int RunReportingStartErrors(const std::function<int()> &start) {
  try {
    return start();
  } catch (const UsageError &e) {
    return ReportUsageError(std::string(e.what()) + "; see " + ProgramName() + " --help");
  } catch (const DeviceError &e) {
    return ReportDeviceError(e);
  } catch (const std::exception &e) {  // a start error of the daemon's own
    PrintError(e.what());
    return kExitDeviceError;
  }
}

std::optional<int> ParseCommandLine(CLI::App &app, int argc, const char *const *argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::Success &e) {  // --help, --help-all, --version
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    return ReportUsageError(ParseErrorMessage(app, e) + "; see " + ProgramName() + " --help");
  }
}

}  // namespace varnik::tools
