#include "stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace varnik::tools {

namespace {

struct NamedSignal {
  int number;
  const char *name;
};

constexpr std::array<NamedSignal, 3> kRequestedStops{{
    {SIGHUP, "SIGHUP"},
    {SIGINT, "SIGINT"},
    {SIGTERM, "SIGTERM"},
}};

constexpr std::array<NamedSignal, 10> kUnexpectedStops{{
    {SIGQUIT, "SIGQUIT"},
    {SIGUSR1, "SIGUSR1"},
    {SIGUSR2, "SIGUSR2"},
    {SIGALRM, "SIGALRM"},
    {SIGVTALRM, "SIGVTALRM"},
    {SIGPROF, "SIGPROF"},
    {SIGIO, "SIGIO"},
    {SIGPWR, "SIGPWR"},
    {SIGXCPU, "SIGXCPU"},
    {SIGXFSZ, "SIGXFSZ"},
}};

// Other names of signals outside the table, for messages.
constexpr std::array<NamedSignal, 8> kOtherSignals{{
    {SIGPIPE, "SIGPIPE"},
    {SIGKILL, "SIGKILL"},
    {SIGSEGV, "SIGSEGV"},
    {SIGBUS, "SIGBUS"},
    {SIGABRT, "SIGABRT"},
    {SIGCHLD, "SIGCHLD"},
    {SIGSTOP, "SIGSTOP"},
    {SIGCONT, "SIGCONT"},
}};

bool IsRealTime(int signal) { return signal >= SIGRTMIN && signal <= SIGRTMAX; }

template <typename Table>
const char *NameIn(const Table &table, int signal) {
  for (const NamedSignal &entry : table)
    if (entry.number == signal) return entry.name;
  return nullptr;
}

int g_wake_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stop_signal = 0;

// Async-signal-safe: notes the first signal, wakes whoever polls the pipe.
void NoteStop(int signal) {
  const int saved = errno;
  if (g_stop_signal == 0) g_stop_signal = signal;
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(g_wake_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

StopKind StopKindOf(int signal) {
  if (NameIn(kRequestedStops, signal)) return StopKind::kRequested;
  if (NameIn(kUnexpectedStops, signal) || IsRealTime(signal)) return StopKind::kUnexpected;
  return StopKind::kNone;
}

std::vector<int> StopSignals() {
  std::vector<int> signals;
  for (const NamedSignal &entry : kRequestedStops) signals.push_back(entry.number);
  for (const NamedSignal &entry : kUnexpectedStops) signals.push_back(entry.number);
  for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) signals.push_back(signal);
  return signals;
}

int InstallStopSignals(bool restart_interrupted_calls) {
  if (g_wake_pipe[0] < 0 && pipe2(g_wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigfillset(&action.sa_mask);  // one handler at a time: the first signal is the one kept
  action.sa_flags = restart_interrupted_calls ? SA_RESTART : 0;
  for (const int signal : StopSignals())
    if (sigaction(signal, &action, nullptr) != 0) return -1;
  std::signal(SIGPIPE, SIG_IGN);
  return g_wake_pipe[0];
}

int StopSignal() { return g_stop_signal; }

bool StopRequested() { return g_stop_signal != 0; }

std::string SignalName(int signal) {
  if (const char *name = NameIn(kRequestedStops, signal)) return name;
  if (const char *name = NameIn(kUnexpectedStops, signal)) return name;
  if (const char *name = NameIn(kOtherSignals, signal)) return name;
  if (IsRealTime(signal))
    return signal == SIGRTMIN ? "SIGRTMIN" : "SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
  return "signal " + std::to_string(signal);
}

int ExitStatusAfterStop(int requested_status) {
  const int signal = StopSignal();
  if (StopKindOf(signal) == StopKind::kUnexpected) return 128 + signal;
  return requested_status;
}

}  // namespace varnik::tools
