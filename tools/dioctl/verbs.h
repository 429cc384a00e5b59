// The verbs of dioctl: each verb group adds its subcommands to the tool's
// command line, with what running each of them does.
#ifndef DIOCTL_VERBS_H
#define DIOCTL_VERBS_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace dioctl {

// Options of the tool itself, given before or after the verb.
struct GlobalOptions {
  // Set from --device, or else to the board library's default device
  // (DefaultDevice) once the command line is read.
  std::string device;
};

// A subcommand and what it does once the command line chose it; run returns
// the exit status.
struct Verb {
  CLI::App *command;
  std::function<int()> run;
};
using VerbList = std::vector<Verb>;

void AddInfoVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);
void AddLevelVerbs(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);  // get set toggle
void AddPulseVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);
void AddShowVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);
void AddWatchVerbs(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);  // watch wait
void AddCountersVerb(CLI::App &app, const GlobalOptions &globals, VerbList &verbs);

}  // namespace dioctl

#endif
