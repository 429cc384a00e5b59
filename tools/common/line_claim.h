// A gateway's --claim (dio-modbusd, dio-mqttd): its claim on every line it
// writes (the outputs and the LEDs), held for it by the board service, so
// that a gateway that dies or hangs still leaves the outputs in their safe
// state.
#ifndef VARNIK_TOOLS_LINE_CLAIM_H
#define VARNIK_TOOLS_LINE_CLAIM_H

#include <cstdint>
#include <optional>
#include <string>

#include "clock.h"
#include "line_io.h"

namespace varnik::tools {

struct ClaimSettings {
  uint8_t safe_outputs = 0;             // the LEDs' safe state is dark
  std::optional<Microseconds> lease;    // none: no lease
  std::string consumer;  // shown to other clients, logged by the service
};

// Throws std::runtime_error, saying what to do, when lines on device are
// not the board service's: only the service keeps a claim.
void RequireClaimsKept(const LineIo &lines, const std::string &device);

// Claims the outputs and LEDs, or throws std::runtime_error naming the
// line and its holder when another client holds one (nothing is claimed
// then), or varnik::tools::DeviceError when the board fails.
void ClaimLines(LineIo &lines, const std::string &device, const ClaimSettings &settings);

}  // namespace varnik::tools

#endif
