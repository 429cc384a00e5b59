// The inputs' counts, frequencies, latches and on-times and the sampler's
// health: kept by the board service's sampler, so a board opened directly
// has none (-EOPNOTSUPP). Arguments are checked here as the service checks
// them, so that a bad call never reaches it.
#include <errno.h>
#include <string.h>

#include "board_internal.h"
#include "claim_checks.h"
#include "service_connection.h"

namespace {

using namespace varnik::board;
namespace wire = varnik::wire;

// The protocol version that brought the input functions.
constexpr uint32_t kInputFunctionsVersion = 3;
constexpr uint32_t kKnownLatches = VDIO_INPUT_ROSE | VDIO_INPUT_FELL;
constexpr uint32_t kKnownSamplerFlags = VDIO_SAMPLER_REALTIME;

static_assert(sizeof(vdio_input_stats) == 40, "vdio_input_stats layout changed");
static_assert(sizeof(vdio_sampler_info) == 48, "vdio_sampler_info layout changed");
static_assert(VDIO_INPUT_COUNT == wire::kInputCount, "one set of figures per input");

bool KeepsInputFunctions(const vdio_board *board) {
  return board->service != nullptr && board->service->version >= kInputFunctionsVersion;
}

bool AllSized(const vdio_input_stats *stats) {
  for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n)
    if (stats[n].size != sizeof(vdio_input_stats)) return false;
  return true;
}

void Fill(const wire::InputFigures &figures, vdio_input_stats *stats) {
  stats->latches = figures.latches;
  stats->rising = figures.rising;
  stats->falling = figures.falling;
  stats->on_time_ms = figures.on_time_ms;
  stats->frequency_mhz = figures.frequency_mhz;
  stats->debounce_us = figures.debounce_us;
}

// The figures of every input, from one sample, into stats[0..7]; a reply
// that is no answer of this library's service fills nothing.
int AskAllInputStats(ServiceBoard *service, vdio_input_stats *stats) {
  wire::Message request;
  request.operation = wire::kReadInputStats;
  uint8_t reply[kReplyRoom];
  const int result = AskForBytes(service, request, reply);
  if (result != 0) return result;
  const wire::Message answer = wire::Decode(reply);
  if (answer.status != 0) return answer.status < 0 ? answer.status : -EPROTO;
  wire::InputFigures figures[VDIO_INPUT_COUNT];
  for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) {
    figures[n] = wire::GetInputFigures(reply + wire::kMessageSize + n * wire::kInputFiguresSize);
    if ((figures[n].latches & ~kKnownLatches) != 0) return -EPROTO;
  }
  for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) Fill(figures[n], &stats[n]);
  return 0;
}

int AskSamplerInfo(ServiceBoard *service, vdio_sampler_info *info) {
  wire::Message request;
  request.operation = wire::kGetSamplerInfo;
  uint8_t reply[kReplyRoom];
  const int result = AskForBytes(service, request, reply);
  if (result != 0) return result;
  const wire::Message answer = wire::Decode(reply);
  if (answer.status != 0) return answer.status < 0 ? answer.status : -EPROTO;
  if ((answer.first & ~kKnownSamplerFlags) != 0) return -EPROTO;
  const uint8_t *tail = reply + wire::kMessageSize;
  info->flags = answer.first;
  info->frequency_window_ms = answer.second;
  info->interval_ns = answer.third;
  info->samples = wire::GetU64(tail);
  info->late_samples = wire::GetU64(tail + 8);
  info->worst_late_ns = wire::GetU64(tail + 16);
  info->reserved = 0;
  return 0;
}

}  // namespace

extern "C" int vdio_read_all_input_stats(vdio_board *board,
                                         struct vdio_input_stats stats[VDIO_INPUT_COUNT]) {
  if (board == nullptr || stats == nullptr) return -EINVAL;
  if (!KeepsInputFunctions(board)) return -EOPNOTSUPP;
  if (!AllSized(stats)) return -EINVAL;
  return AskAllInputStats(board->service, stats);
}

extern "C" int vdio_read_input_stats(vdio_board *board, int line, struct vdio_input_stats *stats) {
  if (board == nullptr || stats == nullptr) return -EINVAL;
  if (!KeepsInputFunctions(board)) return -EOPNOTSUPP;
  if (stats->size != sizeof(vdio_input_stats) || !IsInputLine(line)) return -EINVAL;
  vdio_input_stats all[VDIO_INPUT_COUNT];
  for (auto &one : all) one.size = sizeof(vdio_input_stats);
  const int result = AskAllInputStats(board->service, all);
  if (result == 0) *stats = all[line - VDIO_DI0];
  return result;
}

extern "C" int vdio_clear_input_stats(vdio_board *board, int line, uint32_t what) {
  if (board == nullptr) return -EINVAL;
  if (!KeepsInputFunctions(board)) return -EOPNOTSUPP;
  if (!IsClearRequest(line, what)) return -EINVAL;
  wire::Message request;
  request.operation = wire::kClearInputStats;
  request.first = static_cast<uint32_t>(line);
  request.second = what;
  const int status = Ask(board->service, request, nullptr);
  return status > 0 ? -EPROTO : status;
}

extern "C" int vdio_get_sampler_info(vdio_board *board, struct vdio_sampler_info *info) {
  if (board == nullptr || info == nullptr) return -EINVAL;
  if (!KeepsInputFunctions(board)) return -EOPNOTSUPP;
  if (info->size != sizeof(vdio_sampler_info)) return -EINVAL;
  return AskSamplerInfo(board->service, info);
}
