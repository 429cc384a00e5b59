#include "stop_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace dio_modbusd {

namespace {

int g_stop_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_stop_signal = 0;

void NoteStop(int signal) {
  const int saved = errno;
  g_stop_signal = signal;
  const char byte = 1;
  [[maybe_unused]] ssize_t ignored = write(g_stop_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

int InstallStopSignals() {
  if (pipe2(g_stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  return g_stop_pipe[0];
}

const char *StopSignalName() {
  switch (g_stop_signal) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    default:
      return "a signal";
  }
}

}  // namespace dio_modbusd
