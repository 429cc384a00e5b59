// Claims, releases, pulses and who holds a line: kept by the board service,
// so a board opened directly has none (-EOPNOTSUPP). The arguments are
// checked here as the service checks them, so that a bad call fails the
// same way whether or not it reaches the service.
#include <errno.h>
#include <string.h>

#include "board_internal.h"
#include "claim_checks.h"
#include "service_connection.h"

namespace {

using namespace varnik::board;
namespace wire = varnik::wire;

// The protocol version that brought claims.
constexpr uint32_t kClaimsVersion = 2;
constexpr uint32_t kKnownInfoFlags = VDIO_CLAIM_INFO_SAFE_VALUE | VDIO_CLAIM_INFO_KEEP |
                                     VDIO_CLAIM_INFO_MINE | VDIO_CLAIM_INFO_LEASE_OUT |
                                     VDIO_CLAIM_INFO_PULSING;

static_assert(sizeof(struct vdio_claim) == 52, "vdio_claim layout changed");
static_assert(sizeof(vdio_claim_info) == 48, "vdio_claim_info layout changed");
static_assert(sizeof(vdio_claim_info::consumer) == wire::kNameSize, "a consumer is a wire name");

bool IsClaim(const struct vdio_claim *claim) {
  return claim->size == sizeof(struct vdio_claim) && IsDrivenLineSet(claim->lines) &&
         (claim->safe_values & ~claim->lines) == 0 && (claim->flags & ~kKnownClaimFlags) == 0 &&
         IsLease(claim->lease_ms) &&
         ConsumerNameLength(reinterpret_cast<const uint8_t *>(claim->consumer)) >= 0;
}

// A board held through a service that keeps claims: not one opened
// directly, nor one through a service of a version before claims.
bool KeepsClaims(const vdio_board *board) {
  return board->service != nullptr && board->service->version >= kClaimsVersion;
}

// A call whose success is 0.
int Done(int status) { return status > 0 ? -EPROTO : status; }

int AskClaim(ServiceBoard *service, const struct vdio_claim *claim) {
  wire::Message request;
  request.operation = wire::kClaim;
  request.first = claim->lines;
  request.second = claim->safe_values;
  request.third = claim->flags | static_cast<uint64_t>(claim->lease_ms) << 32;
  uint8_t bytes[wire::kClaimSize];
  wire::Encode(request, bytes);
  memcpy(bytes + wire::kMessageSize, claim->consumer, wire::kNameSize);
  uint8_t reply[kReplyRoom];
  const int result = Exchange(service, bytes, reply);
  return result != 0 ? result : Done(wire::Decode(reply).status);
}

int AskPulse(ServiceBoard *service, int line, uint64_t width_us, uint32_t count,
             uint64_t period_us) {
  wire::Message request;
  request.operation = wire::kPulse;
  request.first = static_cast<uint32_t>(line);
  request.second = count;
  request.third = width_us;
  uint8_t bytes[wire::kPulseSize];
  wire::Encode(request, bytes);
  wire::PutU64(bytes + wire::kMessageSize, count == 1 ? 0 : period_us);
  uint8_t reply[kReplyRoom];
  const int result = Exchange(service, bytes, reply);
  return result != 0 ? result : Done(wire::Decode(reply).status);
}

int AskClaimInfo(ServiceBoard *service, int line, vdio_claim_info *info) {
  wire::Message request;
  request.operation = wire::kGetClaim;
  request.first = static_cast<uint32_t>(line);
  uint8_t reply[kReplyRoom];
  const int result = AskForBytes(service, request, reply);
  if (result != 0) return result;
  const wire::Message answer = wire::Decode(reply);
  if (answer.status < 0) return answer.status;
  if (answer.status > 1 || (answer.third & ~uint64_t{kKnownInfoFlags}) != 0) return -EPROTO;
  const uint32_t size = info->size;
  memset(info, 0, sizeof *info);
  info->size = size;
  info->flags = static_cast<uint32_t>(answer.third);
  if (answer.status == 0) {
    info->flags &= VDIO_CLAIM_INFO_PULSING;  // nobody's: nothing else to tell
    return 0;
  }
  info->pid = static_cast<int32_t>(answer.first);
  info->lease_ms = answer.second;
  wire::GetName(reply + wire::kMessageSize, info->consumer);
  return 1;
}

}  // namespace

extern "C" int vdio_claim(vdio_board *board, const struct vdio_claim *claim) {
  if (board == nullptr || claim == nullptr) return -EINVAL;
  if (!KeepsClaims(board)) return -EOPNOTSUPP;
  if (!IsClaim(claim)) return -EINVAL;
  return AskClaim(board->service, claim);
}

extern "C" int vdio_release(vdio_board *board, uint32_t lines) {
  if (board == nullptr) return -EINVAL;
  if (!KeepsClaims(board)) return -EOPNOTSUPP;
  if (!IsDrivenLineSet(lines)) return -EINVAL;
  wire::Message request;
  request.operation = wire::kRelease;
  request.first = lines;
  return Done(Ask(board->service, request, nullptr));
}

extern "C" int vdio_pulse(vdio_board *board, int line, uint64_t width_us, uint32_t count,
                          uint64_t period_us) {
  if (board == nullptr) return -EINVAL;
  if (!KeepsClaims(board)) return -EOPNOTSUPP;
  if (!IsPulse(line, width_us, count, period_us)) return -EINVAL;
  return AskPulse(board->service, line, width_us, count, period_us);
}

extern "C" int vdio_get_claim(vdio_board *board, int line, struct vdio_claim_info *info) {
  if (board == nullptr || info == nullptr) return -EINVAL;
  if (!KeepsClaims(board)) return -EOPNOTSUPP;
  if (info->size != sizeof(vdio_claim_info) || !IsLine(line)) return -EINVAL;
  return AskClaimInfo(board->service, line, info);
}
