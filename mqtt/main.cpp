// dio-mqttd: one board on an MQTT broker, with Home Assistant's discovery.
// Reads the options, opens the board, claims its lines (--claim), then
// bridges until a stop signal. Its log goes through a queue that a stalled
// reader of standard error cannot block.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>

#include "bridge.h"
#include "bridge_options.h"
#include "command_line.h"
#include "line_claim.h"
#include "line_io.h"
#include "log_queue.h"
#include "stop_signals.h"
#include "systemd_notify.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace {

using namespace dio_mqttd;
using namespace varnik::tools;

void Claim(LineIo &lines, const BridgeOptions &options) {
  ClaimSettings claim;
  claim.safe_outputs = options.safe_outputs;
  claim.lease = options.lease;
  claim.consumer = "dio-mqttd " + options.board_id;
  ClaimLines(lines, options.device, claim);
}

int Serve(const BridgeOptions &options) {
  const int stop_fd = InstallStopSignals(true);
  if (stop_fd < 0) {
    PrintError(std::string("cannot set up the stop signals: ") + std::strerror(errno));
    return kExitDeviceError;
  }
  const std::unique_ptr<LineIo> lines = OpenBoardLines(options.device);
  if (options.claim) {
    RequireClaimsKept(*lines, options.device);
    Claim(*lines, options);
  }
  SystemdNotify notify;
  const bool stopped_on_signal = RunBridge(options, *lines, stop_fd, notify);
  return stopped_on_signal ? ExitStatusAfterStop(kExitOk) : kExitDeviceError;
}

// --check: the board opened and closed (and, for --claim, found to be the
// service's), nothing claimed, nothing published.
int Check(const BridgeOptions &options) {
  const std::unique_ptr<LineIo> lines = OpenBoardLines(options.device);
  if (options.claim) RequireClaimsKept(*lines, options.device);
  return kExitOk;
}

int Run(const OptionWords &words) {
  return RunReportingStartErrors([&]() -> int {
    const BridgeOptions options = Convert(words);
    for (const std::string &warning : Warnings(options)) PrintError(warning);
    return options.check ? Check(options) : Serve(options);
  });
}

}  // namespace

int main(int argc, char **argv) {
  SetProgramName("dio-mqttd");
  CLI::App app("The board's digital inputs, outputs and LEDs on an MQTT broker, with Home "
               "Assistant's discovery.",
               "dio-mqttd");
  OptionWords words;
  AddBridgeOptions(app, words);
  AddVersionFlag(app, vdio_version());
  app.footer(
      "Topics: PREFIX/ID/status, PREFIX/ID/DI0..DI7, DO0..DO7, LED1..LED3 (0 or 1, retained),\n"
      "PREFIX/ID/DO3/set and PREFIX/ID/LED1/set (0, 1, ON, OFF), PREFIX/ID/DI3/count and\n"
      "PREFIX/ID/DI3/frequency. See dio-mqttd(8).\n"
      "Durations as 500ms, 1.5s, 2m; masks as 0xa5.\n"
      "Signals: SIGHUP, SIGINT and SIGTERM stop it (offline published, a clean disconnect);\n"
      "SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGXCPU,\n"
      "SIGXFSZ and the real-time signals stop it the same way, as a failure; SIGPIPE is\n"
      "ignored.\n"
      "Exit status: 0 stopped by SIGHUP, SIGINT or SIGTERM (or --check passed), 1 device\n"
      "or broker setup error (or the board lost), 2 usage error, 128+N stopped by another\n"
      "signal N.");
  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  return RunWithQueuedLog([&] { return Run(words); });
}
