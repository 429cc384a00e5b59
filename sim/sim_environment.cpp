// The settings a new program brings in its environment, read once, when the
// library loads or on the first device call, whichever comes first.
#include "sim_internal.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>

#include "fault_setting.h"

namespace varnik::sim {

namespace {

pthread_once_t g_once = PTHREAD_ONCE_INIT;

void ReportEnvironmentProblem(const char *variable, const char *value, const char *problem) {
  char line[512];
  snprintf(line, sizeof line, "varnik_dio_sim: %s=\"%.200s\" ignored: %s\n", variable, value,
           problem);
  WriteStderr(line);
}

void LoadBoard() {
  const char *board = getenv("VARNIK_SIM_BOARD");
  if (board != nullptr && board[0] != '\0' && SetBoardLocked(board) != 0)
    ReportEnvironmentProblem("VARNIK_SIM_BOARD", board, strerror(errno));
}

void LoadTrace() {
  const char *trace = getenv("VARNIK_SIM_TRACE");
  if (trace != nullptr && trace[0] != '\0' && SetTraceLocked(trace) != 0)
    ReportEnvironmentProblem("VARNIK_SIM_TRACE", trace, strerror(errno));
}

void LoadFault() {
  const char *fail = getenv("VARNIK_SIM_FAIL");
  if (fail == nullptr || fail[0] == '\0') return;
  varnik_sim_call call;
  int error;
  unsigned nth;
  if (ParseFaultSetting(fail, &call, &error, &nth))
    ArmFaultLocked(call, error, nth);
  else
    ReportEnvironmentProblem("VARNIK_SIM_FAIL", fail,
                             "expected call:errno[:nth] with call open, mmap or munmap "
                             "and errno, nth positive decimal numbers");
}

void LoadEnvironment() {
  InstallForkHandlers();
  int saved_errno = errno;
  Lock();
  LoadBoard();
  LoadTrace();
  LoadFault();
  Unlock();
  errno = saved_errno;
}

__attribute__((constructor)) void OnLoad() { Init(); }

}  // namespace

void Init() { pthread_once(&g_once, LoadEnvironment); }

}  // namespace varnik::sim
