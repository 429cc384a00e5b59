// dio-webd: the board in a browser, a JSON HTTP API and Prometheus
// metrics. Reads the options, opens the board, starts the event pump and
// the server, then waits for a stop signal. Its log goes through a queue
// that a stalled reader of standard error cannot block.
#include <poll.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "board_access.h"
#include "board_events.h"
#include "command_line.h"
#include "event_hub.h"
#include "log_queue.h"
#include "metrics.h"
#include "server_options.h"
#include "stop_signals.h"
#include "systemd_notify.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"
#include "web_server.h"

namespace {

using namespace dio_webd;
using namespace varnik::tools;

// Events a stream may have waiting before it is ended as too far behind.
constexpr size_t kStreamQueueLimit = 1024;

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Until stop_fd is readable, with the watchdog's pings between.
void WaitForStop(int stop_fd, SystemdNotify &notify) {
  for (;;) {
    int timeout_ms = -1;
    if (const std::optional<uint64_t> next = notify.NextPingNs()) {
      const uint64_t now = NowNs();
      timeout_ms = *next <= now ? 0 : static_cast<int>((*next - now) / 1000000 + 1);
    }
    pollfd stop{stop_fd, POLLIN, 0};
    if (poll(&stop, 1, timeout_ms) > 0) return;
    notify.Tick(NowNs());
  }
}

std::string StartLine(const ServerOptions &options, uint16_t port) {
  const char *writes = options.read_only   ? "writes refused: --read-only"
                       : options.token     ? "writes need the token"
                                           : "writes refused: no --token-file";
  return "listening on http://" + options.listen.address + ":" + std::to_string(port) +
         " (page from " + options.www + "; " + writes + ")";
}

int Serve(const ServerOptions &options) {
  const int stop_fd = InstallStopSignals(true);
  if (stop_fd < 0) {
    PrintError(std::string("cannot set up the stop signals: ") + std::strerror(errno));
    return kExitDeviceError;
  }
  BoardAccess board(options.device);
  board.OpenOrThrow();
  EventHub hub(options.max_event_clients, kStreamQueueLimit);
  LineCounters counters;
  BoardEvents pump(board, hub, counters);
  pump.Start();
  WebServer server(options, board, hub, counters);
  server.Start();
  PrintLine(StartLine(options, server.port()));
  SystemdNotify notify;
  notify.Ready(NowNs());
  WaitForStop(stop_fd, notify);
  notify.Stopping();
  hub.Close();  // the event streams end, their request threads with them
  pump.Stop();
  server.Stop();
  PrintLine("stopped on " + SignalName(StopSignal()));
  return ExitStatusAfterStop(kExitOk);
}

// --check: the options and files were checked by Convert; the board is
// opened and closed, nothing is served.
int Check(const ServerOptions &options) {
  BoardAccess board(options.device);
  board.OpenOrThrow();
  return kExitOk;
}

int Run(const OptionWords &words) {
  return RunReportingStartErrors([&]() -> int {
    const ServerOptions options = Convert(words);
    for (const std::string &warning : Warnings(options)) PrintError(warning);
    return options.check ? Check(options) : Serve(options);
  });
}

}  // namespace

int main(int argc, char **argv) {
  SetProgramName("dio-webd");
  CLI::App app("The board's digital inputs, outputs and LEDs on a web page, a JSON HTTP API "
               "and Prometheus metrics.",
               "dio-webd");
  OptionWords words;
  AddServerOptions(app, words);
  AddVersionFlag(app, vdio_version());
  app.footer(
      "API: GET /api/v1/lines, GET and PUT /api/v1/lines/DO3 ({\"value\": 1}),\n"
      "POST /api/v1/lines/DO3/pulse ({\"width_ms\": 500}), GET /api/v1/events (Server-Sent\n"
      "Events), GET /api/v1/openapi.json, GET /metrics. Writes need Authorization: Bearer\n"
      "TOKEN with the token of --token-file. See dio-webd(8).\n"
      "Durations as 500ms, 10s, 2m.\n"
      "Signals: SIGHUP, SIGINT and SIGTERM stop it (event streams ended, the server\n"
      "stopped); SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGPWR,\n"
      "SIGXCPU, SIGXFSZ and the real-time signals stop it the same way, as a failure;\n"
      "SIGPIPE is ignored.\n"
      "Exit status: 0 stopped by SIGHUP, SIGINT or SIGTERM (or --check passed), 1 device\n"
      "or setup error, 2 usage error, 128+N stopped by another signal N.");
  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  return RunWithQueuedLog([&] { return Run(words); });
}
