// dio-boardd: the board's one owner. Reads the options, opens the board,
// binds its socket, tells systemd it is ready and serves every program of
// the board on that socket until a stop signal. Its log goes through a
// queue that a stalled reader of standard error cannot block.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "clock.h"
#include "command_line.h"
#include "device_errors.h"
#include "held_board.h"
#include "input_sampler.h"
#include "log_queue.h"
#include "server.h"
#include "service_options.h"
#include "socket_access.h"
#include "socket_file.h"
#include "start_error.h"
#include "state_saver.h"
#include "stop_policy.h"
#include "stop_signals.h"
#include "systemd_notify.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

namespace {

using namespace dio_boardd;
using namespace varnik::tools;

uint64_t NsOf(std::chrono::microseconds duration) {
  return static_cast<uint64_t>(duration.count()) * 1000;
}

InputSettings InputSettingsOf(const ServiceOptions &options) {
  InputSettings settings;
  for (size_t n = 0; n < settings.debounce_ns.size(); ++n)
    settings.debounce_ns[n] = NsOf(options.debounce[n]);
  settings.frequency_window_ns = NsOf(options.frequency_window);
  settings.interval_ns = NsOf(options.interval);
  return settings;
}

int Serve(const ServiceOptions &options) {
  const int stop_fd = InstallStopSignals(true);
  if (stop_fd < 0) {
    PrintError(std::string("cannot set up the stop signals: ") + std::strerror(errno));
    return kExitDeviceError;
  }
  const HeldBoard board(options.device);
  SocketFile socket(options.socket_path);
  RestrictSocketToGroup(options.socket_path, options.group, options.group_name);
  socket.Listen();
  if (const auto written = ApplyPowerOn(board.get(), {options.power_on_outputs, options.power_on_leds}))
    PrintLine(*written);
  InputSampler sampler(board.get(), InputSettingsOf(options),
                       RestoreInputState(options.state_file, options.device));
  if (const auto refused = sampler.Start(options.realtime)) PrintLine(*refused);
  StateSaver saver(sampler, options.state_file, options.device, NsOf(options.state_interval));
  saver.Start();
  varnik::tools::SystemdNotify notify;
  notify.Ready(MonotonicNs());
  PrintLine("serving " + options.device + " on " + options.socket_path);
  ServerSettings settings;
  settings.interval_ns = NsOf(options.interval);
  settings.max_clients = options.max_clients;
  settings.device_kind = board.kind();
  settings.stop_outputs = options.stop_outputs;
  const bool stopped_on_signal =
      Server(settings, board.get(), socket.fd(), stop_fd, notify, sampler).Run();
  // The sampler first, so that the last save holds its last sample whole.
  sampler.Stop();
  saver.StopAndSave();
  return stopped_on_signal ? ExitStatusAfterStop(kExitOk) : kExitDeviceError;
}

int Run(const OptionWords &words) {
  return RunReportingStartErrors([&]() -> int {
    ServiceOptions options = Convert(words);
    options.group = ResolveGroup(options.group_name);
    if (options.check) return kExitOk;
    return Serve(options);
  });
}

}  // namespace

int main(int argc, char **argv) {
  SetProgramName("dio-boardd");
  CLI::App app("The board's one owner: serves its lines to every program on a Unix socket.",
               "dio-boardd");
  OptionWords words;
  AddServiceOptions(app, words);
  AddVersionFlag(app, vdio_version());
  app.footer(
      "Durations as 500us, 10ms, 1.5s.\n"
      "Signals: SIGHUP, SIGINT and SIGTERM stop it; SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,\n"
      "SIGVTALRM, SIGPROF, SIGIO, SIGPWR, SIGXCPU, SIGXFSZ and the real-time signals stop it\n"
      "the same way, as a failure; SIGPIPE is ignored. On stop every claim ends with its\n"
      "safe values, then --stop-outputs applies to the outputs nobody claimed.\n"
      "Exit status: 0 stopped by SIGHUP, SIGINT or SIGTERM (or --check passed), 1 device,\n"
      "socket or group error, 2 usage error, 128+N stopped by another signal N.");
  if (const auto ended = ParseCommandLine(app, argc, argv)) return *ended;
  return RunWithQueuedLog([&] { return Run(words); });
}
