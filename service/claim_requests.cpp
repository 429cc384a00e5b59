#include "claim_requests.h"

#include "claim_checks.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

namespace {

namespace wire = varnik::wire;
using wire::Message;

using varnik::board::IsLease;
using varnik::board::kKnownClaimFlags;

// The consumer's name, when the field holds one.
std::optional<std::string> ConsumerName(const uint8_t *field) {
  const int length = varnik::board::ConsumerNameLength(field);
  if (length < 0) return std::nullopt;
  return std::string(reinterpret_cast<const char *>(field), static_cast<size_t>(length));
}

}  // namespace

bool IsClaimRequest(uint16_t operation) {
  return operation >= wire::kClaim && operation <= wire::kGetClaim;
}


std::optional<ClaimRequest> DecodeClaim(const uint8_t *message, const std::string &program) {
  const Message request = wire::Decode(message);
  const auto flags = static_cast<uint32_t>(request.third);
  const auto consumer = ConsumerName(message + wire::kMessageSize);
  if (!varnik::board::IsDrivenLineSet(request.first) || (request.second & ~request.first) != 0 ||
      (flags & ~kKnownClaimFlags) != 0 || !IsLease(static_cast<uint32_t>(request.third >> 32)) ||
      !consumer)
    return std::nullopt;
  ClaimRequest claim;
  claim.lines = request.first;
  claim.safe_values = request.second;
  claim.keep = (flags & VDIO_CLAIM_KEEP) != 0;
  claim.lease_ms = static_cast<uint32_t>(request.third >> 32);
  claim.consumer = consumer->empty() ? program : *consumer;
  return claim;
}

std::optional<PulseRequest> DecodePulse(const uint8_t *message) {
  const Message request = wire::Decode(message);
  PulseRequest pulse;
  pulse.line = request.first < VDIO_LINE_COUNT ? static_cast<int>(request.first) : -1;
  pulse.count = request.second;
  pulse.width_us = request.third;
  pulse.period_us = pulse.count == 1 ? 0 : wire::GetU64(message + wire::kMessageSize);
  if (!varnik::board::IsPulse(pulse.line, pulse.width_us, pulse.count, pulse.period_us))
    return std::nullopt;
  return pulse;
}

std::vector<uint8_t> EncodeClaimInfo(const std::optional<ClaimView> &view, bool pulsing) {
  Message reply;
  reply.operation = wire::kGetClaim;
  reply.status = view ? 1 : 0;
  if (view) {
    reply.first = static_cast<uint32_t>(view->pid);
    reply.second = view->lease_ms;
    reply.third = view->flags;
  }
  if (pulsing) reply.third |= VDIO_CLAIM_INFO_PULSING;
  std::vector<uint8_t> bytes(wire::kClaimInfoSize);
  wire::Encode(reply, bytes.data());
  wire::PutName(bytes.data() + wire::kMessageSize, view ? view->consumer.c_str() : "");
  return bytes;
}

std::vector<uint8_t> EncodeClaimInfoError(int32_t status) {
  Message reply;
  reply.operation = wire::kGetClaim;
  reply.status = status;
  std::vector<uint8_t> bytes(wire::kClaimInfoSize);
  wire::Encode(reply, bytes.data());
  return bytes;
}

}  // namespace dio_boardd
