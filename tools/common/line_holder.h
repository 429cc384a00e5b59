// Who keeps a gateway from writing a line: another client's claim on it,
// held through the board service, or a pulse the service is carrying out.
#ifndef VARNIK_TOOLS_LINE_HOLDER_H
#define VARNIK_TOOLS_LINE_HOLDER_H

#include <cstdint>
#include <string>

namespace varnik::tools {

struct LineHolder {
  int line = 0;           // the board's line number (VDIO_DO0..VDIO_LED3)
  bool pulsing = false;   // a pulse under way, nobody's claim
  int32_t pid = 0;        // the claim's holder, as the service sees it
  std::string consumer;   // the name it claimed under
};

// 'DO3 is held by "mixer" (pid 1234)', 'LED2 is pulsing'.
std::string Describe(const LineHolder &holder);

}  // namespace varnik::tools

#endif
