// For programs of this project that reach the device only to test it
// (benchmarks, the fuzzer, probes): they refuse to run unless the simulated
// board answers every device call and names its board file, so that they
// never reach the physical memory of the machine they run on.
#ifndef VARNIK_SIM_GUARD_H
#define VARNIK_SIM_GUARD_H

#include <stdio.h>
#include <stdlib.h>

#include "varnik_dio_sim.h"

namespace varnik {

// The board file named by VARNIK_SIM_BOARD; nullptr, after a one-line
// message naming the program and what to do, when the board is not in
// charge.
inline const char *RequireSimulatedBoard(const char *program) {
  if (!varnik_sim_interposing()) {
    fprintf(stderr,
            "%s: the simulated board does not intercept the device calls; refusing to run. "
            "Preload it: LD_PRELOAD=.../libvarnik_dio_sim.so, or dio-sim run -- %s\n",
            program, program);
    return nullptr;
  }
  const char *board = getenv("VARNIK_SIM_BOARD");
  if (board == nullptr || *board == '\0') {
    fprintf(stderr, "%s: VARNIK_SIM_BOARD names no board file; refusing to run\n", program);
    return nullptr;
  }
  return board;
}

}  // namespace varnik

#endif
