// dioctl: parse the command line, run the verb it names, turn errors into
// their message and exit status.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>

#include "board_handle.h"
#include "claim_refusal.h"
#include "command_line.h"
#include "default_device.h"
#include "device_errors.h"
#include "hold.h"
#include "interrupt.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"
#include "verbs.h"

namespace {

using namespace varnik::tools;

int RunChosenVerb(const dioctl::VerbList &verbs) {
  for (const dioctl::Verb &verb : verbs) {
    if (!verb.command->parsed()) continue;
    const int status = verb.run();
    FlushOutput();
    return status;
  }
  return ReportUsageError("no verb given; see " + ProgramName() + " --help");
}

}  // namespace

int main(int argc, char **argv) {
  SetProgramName("dioctl");
  CLI::App app("The board's digital inputs, outputs and LEDs from the shell.", "dioctl");
  dioctl::GlobalOptions globals;
  CLI::Option *device = app.add_option(
      "--device", globals.device,
      "The memory device, a simulated board's board file, or the board service's socket "
      "(default: $VARNIK_DIO_DEVICE, else the service's socket " VDIO_SERVICE_SOCKET
      " when it serves, else /dev/mem)")
      ->type_name("PATH")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)  // the last one given wins
      ->check(CLI::Validator(
          [](const std::string &path) {
            return path.empty() ? std::string("an empty path names no device") : std::string();
          },
          ""));  // no description: the help shows the type name alone
  app.footer("Exit status: 0 done, 1 device error, 2 usage error, 124 timeout, 130 interrupted (SIGHUP, SIGINT, SIGTERM), 128+N after another stopping signal N.");
  AddVersionFlag(app, vdio_version());
  app.require_subcommand(1);
  app.fallthrough();  // --device after the verb reaches the tool's own option

  dioctl::VerbList verbs;
  dioctl::AddInfoVerb(app, globals, verbs);
  dioctl::AddLevelVerbs(app, globals, verbs);
  dioctl::AddPulseVerb(app, globals, verbs);
  dioctl::AddShowVerb(app, globals, verbs);
  dioctl::AddWatchVerbs(app, globals, verbs);
  dioctl::AddCountersVerb(app, globals, verbs);

  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  if (device->count() == 0) globals.device = DefaultDevice();
  try {
    dioctl::InstallInterruptHandlers();
    return RunChosenVerb(verbs);
  } catch (const UsageError &e) {
    return ReportUsageError(e.what());
  } catch (const DeviceError &e) {
    return ReportDeviceError(e);
  } catch (const dioctl::WriteRefused &e) {
    PrintError(e.what());
    return kExitDeviceError;
  } catch (const dioctl::HoldEnded &e) {
    PrintError(e.what());
    return kExitDeviceError;
  } catch (const dioctl::BoardCallError &e) {
    return ReportDeviceError(DeviceError(globals.device, e.error()));
  } catch (const OutputError &e) {
    // A signal that ends a write blocked on a stalled reader is an
    // interruption, not a failure of the output.
    if (e.error_number() == EINTR && dioctl::Interrupted()) return dioctl::InterruptedStatus();
    return ReportOutputError(e);
  } catch (const std::exception &e) {  // the board failing in use: a device error too
    PrintError(globals.device + ": " + e.what());
    return kExitDeviceError;
  }
}
