#include "dio_sim_run.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "board_image.h"
#include "dio_sim_board.h"
#include "dio_sim_error.h"
#include "dio_sim_paths.h"
#include "dio_sim_preload.h"
#include "dio_sim_program.h"
#include "fault_setting.h"

namespace dio_sim {

namespace {

void CheckFault(const std::string &fail) {
  varnik_sim_call call;
  int error;
  unsigned nth;
  if (!fail.empty() && !varnik::ParseFaultSetting(fail.c_str(), &call, &error, &nth))
    throw ToolError(kExitUsage,
                    "run: --fail " + Quoted(fail) + " is not " VARNIK_FAULT_SETTING_FORM);
}

[[noreturn]] void RefuseTrace(const std::string &trace, const std::string &why) {
  throw ToolError(kExitUsage, "run: --trace " + Quoted(trace) + " " + why);
}

// The trace file as the board will open it, checked now so that a bad one
// is dio-sim's usage error and not the program's exit status. Only the
// board in the program opens it, once: a second open, of a FIFO, would
// block or hand its reader an early end of file. It must be a regular file
// that may be written, or none yet in a folder where one can be made.
std::string CheckedTrace(const std::string &trace) {
  if (trace.empty()) return trace;
  const std::string path = Absolute(trace);
  struct stat64 st;
  int error = 0;
  if (stat64(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode))
      RefuseTrace(trace, std::string("is ") + varnik::DescribeFileKind(st.st_mode) +
                             ", not a regular file: the trace must be one");
    if (access(path.c_str(), W_OK) != 0) error = errno;
  } else if (errno != ENOENT || access(FolderOf(path).c_str(), W_OK | X_OK) != 0) {
    error = errno;
  }
  if (error != 0) RefuseTrace(trace, "cannot be opened for appending: " + ErrnoText(error));
  return path;
}

void SetOrClear(const char *name, const std::string &value) {
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
}

// Ours first, then whatever the caller preloads already.
std::string PreloadList(const std::string &preload) {
  const char *old = std::getenv("LD_PRELOAD");
  return old != nullptr && *old != '\0' ? preload + ":" + old : preload;
}

}  // namespace

void RunProgram(const RunRequest &request) {
  CheckFault(request.fail);
  // The program first: a refused run leaves no trace file behind.
  const std::string program = ResolveCommand(request.command.front());
  const std::string preload = PreloadFor(ContainableWordSize(program), program);
  const std::string trace = CheckedTrace(request.trace);
  EnsureBoard(request.board);

  setenv("VARNIK_SIM_BOARD", request.board.c_str(), 1);
  SetOrClear("VARNIK_SIM_TRACE", trace);
  SetOrClear("VARNIK_SIM_FAIL", request.fail);
  setenv("LD_PRELOAD", PreloadList(preload).c_str(), 1);
  // The board library's default device, for a program that names none:
  // "/dev/mem", which the simulated board catches, not the board service.
  setenv("VARNIK_DIO_DEVICE", "/dev/mem", 1);

  std::vector<char *> argv;
  for (const std::string &word : request.command) argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  throw ToolError(kExitCannotRun, "run: cannot run " + Quoted(program) + ": " + ErrnoText(errno));
}

}  // namespace dio_sim
