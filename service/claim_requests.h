// The claim requests of the wire (kClaim, kRelease, kPulse, kGetClaim)
// decoded and checked exactly as the board library checks them, since a
// client may speak the wire without it; and the reply to kGetClaim.
#ifndef DIO_BOARDD_CLAIM_REQUESTS_H
#define DIO_BOARDD_CLAIM_REQUESTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "claims.h"
#include "service_wire.h"

namespace dio_boardd {

bool IsClaimRequest(uint16_t operation);

// A kClaim request (wire::kClaimSize bytes), or nothing when an argument is
// bad. An empty consumer is program, the name of the client's hello.
std::optional<ClaimRequest> DecodeClaim(const uint8_t *message, const std::string &program);

struct PulseRequest {
  int line = 0;
  uint64_t width_us = 0;
  uint32_t count = 0;
  uint64_t period_us = 0;  // 0 for one pulse
};

// A kPulse request (wire::kPulseSize bytes), or nothing when an argument is
// bad.
std::optional<PulseRequest> DecodePulse(const uint8_t *message);

// kGetClaim's reply (wire::kClaimInfoSize bytes): status 1 and view when the
// line is held, 0 when not; pulsing adds VDIO_CLAIM_INFO_PULSING.
std::vector<uint8_t> EncodeClaimInfo(const std::optional<ClaimView> &view, bool pulsing);
std::vector<uint8_t> EncodeClaimInfoError(int32_t status);

}  // namespace dio_boardd

#endif
