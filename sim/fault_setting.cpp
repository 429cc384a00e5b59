#include "fault_setting.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace varnik {

namespace {

// The call's name and the colon after it; returns the rest, or NULL.
const char *ParseCall(const char *text, varnik_sim_call *call) {
  static const struct {
    const char *name;
    varnik_sim_call call;
  } kCalls[] = {{"open:", VARNIK_SIM_OPEN}, {"mmap:", VARNIK_SIM_MMAP}, {"munmap:", VARNIK_SIM_MUNMAP}};
  for (const auto &entry : kCalls) {
    size_t length = strlen(entry.name);
    if (strncmp(text, entry.name, length) == 0) {
      *call = entry.call;
      return text + length;
    }
  }
  return nullptr;
}

// Decimal numbers only, no sign, no leading spaces, at least 1.
bool ParsePositive(const char **p, unsigned long *value) {
  if (**p < '0' || **p > '9') return false;
  char *end;
  errno = 0;
  *value = strtoul(*p, &end, 10);
  if (errno != 0 || *value == 0) return false;
  *p = end;
  return true;
}

}  // namespace

bool ParseFaultSetting(const char *text, varnik_sim_call *call, int *error, unsigned *nth) {
  varnik_sim_call parsed_call = VARNIK_SIM_OPEN;
  const char *rest = ParseCall(text, &parsed_call);
  if (rest == nullptr) return false;
  unsigned long parsed_error;
  if (!ParsePositive(&rest, &parsed_error) || parsed_error > kMaxFaultErrno) return false;
  unsigned long parsed_nth = 1;
  if (*rest == ':') {
    ++rest;
    if (!ParsePositive(&rest, &parsed_nth) || parsed_nth > UINT_MAX) return false;
  }
  if (*rest != '\0') return false;
  *call = parsed_call;
  *error = static_cast<int>(parsed_error);
  *nth = static_cast<unsigned>(parsed_nth);
  return true;
}

}  // namespace varnik
