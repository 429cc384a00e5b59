// `dio-sim run`: an unmodified program started with the simulated board
// preloaded on a board file.
#ifndef VARNIK_DIO_SIM_RUN_H
#define VARNIK_DIO_SIM_RUN_H

#include <string>
#include <vector>

namespace dio_sim {

struct RunRequest {
  std::string board;                 // absolute
  std::string trace;                 // empty: no trace
  std::string fail;                  // empty: no fault
  std::vector<std::string> command;  // the program and its arguments
};

// Checks every argument, makes the board if missing, and replaces dio-sim
// with the program, so that its exit status is the program's own. Returns
// only by throwing.
[[noreturn]] void RunProgram(const RunRequest &request);

}  // namespace dio_sim

#endif
