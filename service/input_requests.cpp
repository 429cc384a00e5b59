#include "input_requests.h"

#include <cerrno>

#include "claim_checks.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

namespace {

namespace wire = varnik::wire;
using wire::Message;

constexpr uint64_t kNsPerMs = 1'000'000;

std::vector<uint8_t> Encoded(const Message &reply) {
  std::vector<uint8_t> bytes(wire::ReplySize(reply.operation));
  wire::Encode(reply, bytes.data());
  return bytes;
}

std::vector<uint8_t> InputStats(const InputSampler &sampler) {
  const InputSnapshot snapshot = sampler.Snapshot();
  Message reply;
  reply.operation = wire::kReadInputStats;
  reply.third = snapshot.sample_ns;
  std::vector<uint8_t> bytes = Encoded(reply);
  for (size_t n = 0; n < wire::kInputCount; ++n)
    wire::PutInputFigures(bytes.data() + wire::kMessageSize + n * wire::kInputFiguresSize,
                          snapshot.figures[n]);
  return bytes;
}

std::vector<uint8_t> SamplerInfo(const InputSampler &sampler) {
  const SamplerHealth health = sampler.Health();
  Message reply;
  reply.operation = wire::kGetSamplerInfo;
  reply.first = health.flags;
  reply.second = static_cast<uint32_t>(sampler.settings().frequency_window_ns / kNsPerMs);
  reply.third = sampler.settings().interval_ns;
  std::vector<uint8_t> bytes = Encoded(reply);
  uint8_t *tail = bytes.data() + wire::kMessageSize;
  wire::PutU64(tail, health.samples);
  wire::PutU64(tail + 8, health.late_samples);
  wire::PutU64(tail + 16, health.worst_late_ns);
  wire::PutU64(tail + 24, 0);
  return bytes;
}

// "counts and latches", "counts, latches and on-time".
std::string ClearedText(uint32_t what) {
  std::vector<std::string> parts;
  if (what & VDIO_CLEAR_COUNTS) parts.push_back("counts");
  if (what & VDIO_CLEAR_LATCHES) parts.push_back("latches");
  if (what & VDIO_CLEAR_ON_TIME) parts.push_back("on-time");
  std::string text = parts.front();
  for (size_t n = 1; n < parts.size(); ++n)
    text += (n + 1 == parts.size() ? " and " : ", ") + parts[n];
  return text;
}

std::vector<uint8_t> ClearInputStats(InputSampler &sampler, const Client &client,
                                     const Message &request, std::string *log_line) {
  Message reply;
  reply.operation = wire::kClearInputStats;
  // Beyond int's range is no input either.
  const int line = request.first > VDIO_DI7 ? -1 : static_cast<int>(request.first);
  if (!varnik::board::IsClearRequest(line, request.second)) {
    reply.status = -EINVAL;
    return Encoded(reply);
  }
  sampler.Clear(line - VDIO_DI0, request.second);
  *log_line = ClearedText(request.second) + " of DI" + std::to_string(line - VDIO_DI0) +
              " cleared by " + client.Who();
  return Encoded(reply);
}

}  // namespace

bool IsInputRequest(uint16_t operation) {
  return operation >= wire::kReadInputStats && operation <= wire::kGetSamplerInfo;
}

std::vector<uint8_t> AnswerInputRequest(InputSampler &sampler, const Client &client,
                                        const Message &request, std::string *log_line) {
  switch (request.operation) {
    case wire::kReadInputStats:
      return InputStats(sampler);
    case wire::kClearInputStats:
      return ClearInputStats(sampler, client, request, log_line);
    default:
      return SamplerInfo(sampler);
  }
}

}  // namespace dio_boardd
