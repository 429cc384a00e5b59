#include "line_keeper.h"

#include <algorithm>
#include <cerrno>

#include "claim_checks.h"
#include "claim_requests.h"
#include "argument_parsing.h"
#include "line_text.h"
#include "tool_messages.h"

namespace dio_boardd {

namespace {

namespace wire = varnik::wire;

constexpr uint32_t kLedShift = VDIO_LED1;
constexpr uint32_t kOutputShift = VDIO_DO0;
constexpr uint64_t kNsPerUs = 1000;

// "3 x 1ms, every 1s", "1 x 500us".
std::string PulseText(const PulseRequest &pulse) {
  using varnik::tools::FormatDuration;
  using varnik::tools::Microseconds;
  std::string text = std::to_string(pulse.count) + " x " +
                     FormatDuration(Microseconds(static_cast<int64_t>(pulse.width_us)));
  if (pulse.count > 1)
    text += ", every " + FormatDuration(Microseconds(static_cast<int64_t>(pulse.period_us)));
  return text;
}

std::vector<uint8_t> StatusReply(uint16_t operation, int32_t status) {
  wire::Message reply;
  reply.operation = operation;
  reply.status = status;
  std::vector<uint8_t> bytes(wire::kMessageSize);
  wire::Encode(reply, bytes.data());
  return bytes;
}

}  // namespace

int32_t LineKeeper::CheckWrite(uint64_t client, uint32_t lines) const {
  return (lines & (claims_.HeldByOthers(client) | pulses_.Pulsing())) != 0 ? -EBUSY : 0;
}

std::vector<uint8_t> LineKeeper::Answer(const Client &client, const uint8_t *message,
                                        uint64_t now) {
  const wire::Message request = wire::Decode(message);
  switch (request.operation) {
    case wire::kClaim:
      return StatusReply(request.operation, Claim(client, message, now));
    case wire::kRelease:
      return StatusReply(request.operation, Release(client, request.first));
    case wire::kPulse:
      return StatusReply(request.operation, Pulse(client, message, now));
    case wire::kGetClaim:
      return Describe(client, request.first);
    default:
      return StatusReply(request.operation, -EPROTO);
  }
}

int32_t LineKeeper::Claim(const Client &client, const uint8_t *message, uint64_t now) {
  const auto claim = DecodeClaim(message, client.name());
  if (!claim) return -EINVAL;
  if ((claim->lines & (claims_.HeldByOthers(client.id()) | pulses_.Pulsing())) != 0) return -EBUSY;
  claims_.Claim(client.id(), client.pid(), *claim, now);
  return 0;
}

int32_t LineKeeper::Release(const Client &client, uint32_t lines) {
  if (!varnik::board::IsDrivenLineSet(lines) || (lines & ~claims_.HeldBy(client.id())) != 0)
    return -EINVAL;
  if (const auto safe = claims_.End(client.id(), lines, "released")) Apply(*safe);
  return 0;
}

int32_t LineKeeper::Pulse(const Client &client, const uint8_t *message, uint64_t now) {
  const auto pulse = DecodePulse(message);
  if (!pulse) return -EINVAL;
  if (CheckWrite(client.id(), 1u << pulse->line) != 0) return -EBUSY;
  const int level = vdio_get(board_, pulse->line);
  if (level < 0) return level;
  Write(pulses_.Start(pulse->line, level, pulse->width_us * kNsPerUs, pulse->count,
                      pulse->period_us * kNsPerUs, now));
  // A train holds its line against everyone: the log says whose it is.
  varnik::tools::PrintLine("pulse of " + LineNames(1u << pulse->line) + " by " + client.Who() +
                           ": " + PulseText(*pulse));
  return 0;
}

std::vector<uint8_t> LineKeeper::Describe(const Client &client, uint32_t line) const {
  if (line >= VDIO_LINE_COUNT) return EncodeClaimInfoError(-EINVAL);
  return EncodeClaimInfo(claims_.View(static_cast<int>(line), client.id()),
                         (pulses_.Pulsing() >> line) & 1u);
}

void LineKeeper::Feed(uint64_t client, uint64_t now) {
  if (const auto log = claims_.Feed(client, now)) varnik::tools::PrintLine(*log);
}

void LineKeeper::Tick(uint64_t now) {
  for (const Edge &edge : pulses_.Due(now)) Write(edge);
  for (const SafeLevels &safe : claims_.Expire(now)) Apply(safe);
}

std::optional<uint64_t> LineKeeper::NextWakeNs() const {
  const auto edge = pulses_.NextEdgeNs();
  const auto expiry = claims_.NextExpiry();
  if (edge && expiry) return std::min(*edge, *expiry);
  return edge ? edge : expiry;
}

void LineKeeper::FinishPulses() {
  for (const Edge &edge : pulses_.Finish()) Write(edge);
}

void LineKeeper::EndClaims(uint64_t client, const std::string &reason) {
  if (const auto safe = claims_.End(client, VDIO_ALL_LINES, reason)) Apply(*safe);
}

void LineKeeper::Apply(const SafeLevels &safe) {
  pulses_.Cut(safe.lines);  // the safe value wins
  const auto outputs = static_cast<uint8_t>(safe.lines >> kOutputShift);
  const auto leds = static_cast<uint8_t>((safe.lines >> kLedShift) & 0x7u);
  if (outputs != 0)
    vdio_write_outputs(board_, outputs, static_cast<uint8_t>(safe.values >> kOutputShift));
  if (leds != 0)
    vdio_write_leds(board_, leds, static_cast<uint8_t>((safe.values >> kLedShift) & 0x7u));
  if (safe.lines != 0) outside_.Written(safe.lines, ReadLevels());
  varnik::tools::PrintLine(safe.log);
}

void LineKeeper::Write(const Edge &edge) {
  vdio_set(board_, edge.line, edge.level);
  outside_.Written(1u << edge.line, ReadLevels());
}

uint32_t LineKeeper::ReadLevels() const {
  vdio_state state{};
  vdio_read(board_, &state);
  return wire::PackState(state.inputs, state.outputs, state.leds);
}

}  // namespace dio_boardd
