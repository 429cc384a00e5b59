#include "line_claim.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "device_errors.h"

namespace varnik::tools {

namespace {

constexpr uint32_t kClaimedLines = VDIO_OUTPUT_LINES | VDIO_LED_LINES;

uint32_t LeaseMilliseconds(std::optional<Microseconds> lease) {
  if (!lease) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*lease).count();
  return static_cast<uint32_t>(std::min<decltype(ms)>(ms, UINT32_MAX));
}

struct vdio_claim ClaimOf(const ClaimSettings &settings) {
  struct vdio_claim claim {};
  claim.size = sizeof claim;
  claim.lines = kClaimedLines;
  claim.safe_values = static_cast<uint32_t>(settings.safe_outputs) << VDIO_DO0;  // LEDs dark
  claim.lease_ms = LeaseMilliseconds(settings.lease);
  std::strncpy(claim.consumer, settings.consumer.c_str(), sizeof claim.consumer - 1);
  return claim;
}

[[noreturn]] void ThrowNotKept(const std::string &device) {
  throw std::runtime_error("--claim needs the board service (dio-boardd): " + device +
                           " is opened directly, where nobody would keep the claim once the "
                           "gateway is gone; give --device the service's socket, or leave out "
                           "--claim");
}

// Which line made the claim fail, as a phrase.
std::string FirstHeldLine(const LineIo &lines) {
  for (int line = VDIO_DO0; line < VDIO_LINE_COUNT; ++line)
    if (const auto holder = lines.HolderOf(line)) return Describe(*holder);
  return "a line was held by another client a moment ago";
}

}  // namespace

void RequireClaimsKept(const LineIo &lines, const std::string &device) {
  if (!lines.ThroughService()) ThrowNotKept(device);
}

void ClaimLines(LineIo &lines, const std::string &device, const ClaimSettings &settings) {
  const int result = lines.Claim(ClaimOf(settings));
  if (result == 0) return;
  if (result == -EOPNOTSUPP) ThrowNotKept(device);
  if (result == -EBUSY)
    throw std::runtime_error("--claim: cannot claim the outputs and LEDs: " + FirstHeldLine(lines) +
                             "; stop that client or have it release the line, or leave out "
                             "--claim");
  throw DeviceError(device, -result);
}

}  // namespace varnik::tools
