// The settings a new program brings in its environment, read once, when the
// library loads or on the first device call, whichever comes first.
#include "sim_internal.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board_image.h"
#include "fault_setting.h"

namespace varnik::sim {

namespace {

pthread_once_t g_once = PTHREAD_ONCE_INIT;

// A setting the board cannot follow ends the program before it runs: going
// on without it would test something other than what was asked.
[[noreturn]] void RefuseSetting(const char *variable, const char *value, const char *problem) {
  char line[2 * PATH_MAX + 512];
  snprintf(line, sizeof line, "varnik_dio_sim: %s=\"%s\" %s; fix or unset it\n", variable, value,
           problem);
  WriteStderr(line);
  _exit(2);
}

[[noreturn]] void RefuseUnusablePath(const char *variable, const char *value,
                                     const char *what_failed) {
  char problem[256];
  snprintf(problem, sizeof problem, "cannot be used: cannot %s: %s", what_failed,
           strerror(errno));
  RefuseSetting(variable, value, problem);
}

// An empty value is the same as none, as a shell's VAR= prog means it.
const char *Setting(const char *variable) {
  const char *value = getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void LoadBoard() {
  const char *board = Setting("VARNIK_SIM_BOARD");
  if (board == nullptr || SetBoardLocked(board) == 0) return;
  if (errno != EEXIST) RefuseUnusablePath("VARNIK_SIM_BOARD", board, "make it a board file");
  char why[2 * PATH_MAX + 160];
  DescribeWhatIsThere(board, why, sizeof why);
  char problem[sizeof why + 32];
  snprintf(problem, sizeof problem, "cannot be used: %s", why);
  RefuseSetting("VARNIK_SIM_BOARD", board, problem);
}

void LoadTrace() {
  const char *trace = Setting("VARNIK_SIM_TRACE");
  if (trace == nullptr || SetTraceLocked(trace) == 0) return;
  struct stat64 st;
  if (errno != EINVAL || stat64(trace, &st) != 0)
    RefuseUnusablePath("VARNIK_SIM_TRACE", trace, "open it for appending");
  char problem[128];
  snprintf(problem, sizeof problem, "is %s, not a regular file: a trace must be one",
           DescribeFileKind(st.st_mode));
  RefuseSetting("VARNIK_SIM_TRACE", trace, problem);
}

void LoadFault() {
  const char *fail = Setting("VARNIK_SIM_FAIL");
  if (fail == nullptr) return;
  varnik_sim_call call;
  int error;
  unsigned nth;
  if (!ParseFaultSetting(fail, &call, &error, &nth))
    RefuseSetting("VARNIK_SIM_FAIL", fail, "is not " VARNIK_FAULT_SETTING_FORM);
  ArmFaultLocked(call, error, nth);
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
