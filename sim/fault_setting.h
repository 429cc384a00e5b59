// The text form of an injected fault, "call:errno[:nth]", as VARNIK_SIM_FAIL
// and `dio-sim run --fail` take it. Plain C++ on libc alone: the simulated
// board and dio-sim both compile it.
#ifndef VARNIK_SIM_FAULT_SETTING_H
#define VARNIK_SIM_FAULT_SETTING_H

#include "varnik_dio_sim.h"

namespace varnik {

// The accepted ranges, for parsing and for messages.
constexpr unsigned long kMaxFaultErrno = 4095;
#define VARNIK_FAULT_SETTING_FORM                                              \
  "call:errno[:nth] with call open, mmap or munmap, errno 1..4095 and nth " \
  "1..4294967295 (decimal)"

// Parses text; returns false if it is malformed, leaving the outputs unset.
bool ParseFaultSetting(const char *text, varnik_sim_call *call, int *error, unsigned *nth);

}  // namespace varnik

#endif
