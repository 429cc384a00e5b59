// dio-modbusd: the board's lines over Modbus TCP, with a communication
// watchdog. Reads the options, opens the board, listens, then claims the
// lines (--claim), sets the power-on outputs and serves until a stop
// signal. Its log goes through a queue that a stalled reader of standard
// error cannot block.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

#include "command_line.h"
#include "device_errors.h"
#include "gateway_options.h"
#include "input_figures.h"
#include "shared_names.h"
#include "listener.h"
#include "log_queue.h"
#include "server.h"
#include "stop_signals.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace {

using namespace dio_modbusd;
using namespace varnik::tools;

std::unique_ptr<LineIo> OpenLines(const GatewayOptions &options) {
  if (options.memory_lines) return MakeMemoryLines();
  return OpenBoardLines(options.device);
}

// "dio-modbusd :502": which gateway holds the lines, for other clients.
std::string ConsumerName(const SocketAddress &bound) {
  const std::string address = FormatAddress(bound.get());
  return "dio-modbusd " + address.substr(address.rfind(':'));
}

void Claim(LineIo &lines, const GatewayOptions &options, const SocketAddress &bound) {
  ClaimSettings claim;
  claim.safe_outputs = options.server.safe_outputs;
  claim.lease = options.server.lease;
  claim.consumer = ConsumerName(bound);
  ClaimLines(lines, options.device, claim);
}

void SetPowerOnOutputs(LineIo &lines, uint8_t mask) {
  if (lines.WriteOutputs(0xFF, mask)) return;
  std::string held = "an output is held by another client";
  for (int line = VDIO_DO0; line <= VDIO_DO7; ++line)
    if (const auto holder = lines.HolderOf(line)) {
      held = Describe(*holder);
      break;
    }
  throw std::runtime_error("cannot set --power-on-outputs: " + held + "; nothing was written");
}

// Who counts the inputs, said once when it is not what the options promise.
FigureKeeper FindKeeper(LineIo &lines) {
  const FigureKeeper keeper = FindFigureKeeper(lines);
  if (keeper == FigureKeeper::kOlderService)
    PrintLine("the board service is of a version that keeps no counts of the inputs: "
              "input registers 3..10 count in the gateway's own polls (every 10ms, no "
              "debounce) and registers 100 and up answer exception 0x04; restart dio-boardd "
              "to have them");
  return keeper;
}

int Serve(const GatewayOptions &options) {
  const int stop_fd = InstallStopSignals(true);
  if (stop_fd < 0) {
    PrintError(std::string("cannot set up the stop signals: ") + std::strerror(errno));
    return kExitDeviceError;
  }
  const std::unique_ptr<LineIo> lines = OpenLines(options);
  if (options.server.claimed) RequireClaimsKept(*lines, options.device);
  const FigureKeeper keeper = FindKeeper(*lines);
  SocketAddress bound;
  const int listen_fd = OpenListener(options.listen, &bound);
  // Only once the board and the port are ours: a gateway that cannot start
  // leaves the outputs to the one that may be running (and a claim that
  // ended at once would put them to their safe state).
  if (options.server.claimed) Claim(*lines, options, bound);
  if (options.power_on_outputs) SetPowerOnOutputs(*lines, *options.power_on_outputs);
  PrintLine("listening on " + FormatAddress(bound.get()));
  const bool stopped_on_signal = Server(options.server, *lines, keeper, listen_fd, stop_fd).Run();
  close(listen_fd);
  return stopped_on_signal ? ExitStatusAfterStop(kExitOk) : kExitDeviceError;
}

int Run(const OptionWords &words) {
  return RunReportingStartErrors([&]() -> int {
    const GatewayOptions options = Convert(words);
    for (const std::string &warning : Warnings(options, words)) PrintError(warning);
    if (options.check) return kExitOk;
    return Serve(options);
  });
}

}  // namespace

int main(int argc, char **argv) {
  SetProgramName("dio-modbusd");
  CLI::App app("The board's digital inputs, outputs and LEDs over Modbus TCP.", "dio-modbusd");
  OptionWords words;
  AddGatewayOptions(app, words);
  AddVersionFlag(app, vdio_version());
  app.footer(
      "Durations as 500ms, 1.5s, 2m; masks as 0xa5.\n"
      "Signals: SIGHUP, SIGINT and SIGTERM stop it (with --watchdog or --claim, the outputs\n"
      "go to --safe-outputs); SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO,\n"
      "SIGPWR, SIGXCPU, SIGXFSZ and the real-time signals stop it the same way, as a\n"
      "failure; SIGPIPE is ignored.\n"
      "Exit status: 0 stopped by SIGHUP, SIGINT or SIGTERM (or --check passed), 1 device\n"
      "or network error, 2 usage error, 128+N stopped by another signal N.");
  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  return RunWithQueuedLog([&] { return Run(words); });
}
