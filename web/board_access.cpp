#include "board_access.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "default_device.h"
#include "device_errors.h"

namespace dio_webd {

namespace {

using varnik::tools::DeviceError;
using varnik::tools::LineHolder;
using varnik::tools::LineIo;

bool Writable(int line) { return line >= VDIO_DO0 && line < VDIO_LINE_COUNT; }

std::string NameOf(int line) {
  const char *name = vdio_line_name(line);
  return name != nullptr ? name : "line " + std::to_string(line);
}

// The claim on an output or LED as the service tells it; none where nobody
// keeps claims (-EOPNOTSUPP) or nothing holds the line.
std::optional<LineClaim> ClaimOn(const LineIo &lines, const std::string &device, int line,
                                 bool *known) {
  vdio_claim_info info{};
  const int held = lines.GetClaim(line, &info);
  if (held == -EOPNOTSUPP) {
    *known = false;
    return std::nullopt;
  }
  if (held < 0) throw DeviceError(device, -held);
  const bool pulsing = (info.flags & VDIO_CLAIM_INFO_PULSING) != 0;
  LineClaim claim;
  claim.pulsing = pulsing;
  if (held == 0) return pulsing ? std::optional<LineClaim>(claim) : std::nullopt;
  claim.held = true;
  claim.pid = info.pid;
  claim.consumer.assign(info.consumer, strnlen(info.consumer, sizeof info.consumer));
  claim.lease_ms = info.lease_ms;
  claim.safe_value = (info.flags & VDIO_CLAIM_INFO_SAFE_VALUE) != 0 ? 1 : 0;
  claim.keep = (info.flags & VDIO_CLAIM_INFO_KEEP) != 0;
  claim.lease_out = (info.flags & VDIO_CLAIM_INFO_LEASE_OUT) != 0;
  return claim;
}

void ReadClaims(const LineIo &lines, const std::string &device, BoardSnapshot &snapshot) {
  snapshot.claims_known = true;
  for (int line = VDIO_DO0; line < VDIO_LINE_COUNT && snapshot.claims_known; ++line)
    snapshot.claims[static_cast<size_t>(line)] =
        ClaimOn(lines, device, line, &snapshot.claims_known);
}

void ReadSampler(const LineIo &lines, const std::string &device, BoardSnapshot &snapshot) {
  const int result = lines.ReadSamplerInfo(&snapshot.sampler);
  if (result < 0 && result != -EOPNOTSUPP) throw DeviceError(device, -result);
  snapshot.sampler_known = result == 0;
}

WriteOutcome Held(const LineIo &lines, int line) {
  WriteOutcome outcome{WriteStatus::kHeld, lines.HolderOf(line), ""};
  // The holder may have let go between the refusal and the asking.
  outcome.message = outcome.holder ? varnik::tools::Describe(*outcome.holder)
                                   : NameOf(line) + " was held by another client";
  return outcome;
}

WriteOutcome Refused(std::string message) {
  return WriteOutcome{WriteStatus::kRefused, std::nullopt, std::move(message)};
}

}  // namespace

std::string LostReason(const std::string &device, int error) {
  const std::string what = varnik::tools::IsServiceSocket(device)
                               ? "the board service at " + device
                               : "the board at " + device;
  return what + " is out of reach: " + std::strerror(error) +
         "; dio-webd connects again every second";
}

BoardAccess::BoardAccess(std::string device, Opener opener)
    : device_(std::move(device)),
      opener_(std::move(opener)),
      lost_reason_("the board at " + device_ + " is not open yet") {}

void BoardAccess::OpenOrThrow() {
  const std::lock_guard<std::mutex> lock(mutex_);
  retired_.reset();
  lines_ = opener_(device_);
  lost_reason_.clear();
}

bool BoardAccess::Reopen() {
  const std::lock_guard<std::mutex> lock(mutex_);
  retired_.reset();
  if (lines_) return true;
  try {
    lines_ = opener_(device_);
    lost_reason_.clear();
    return true;
  } catch (const DeviceError &error) {
    lost_reason_ = LostReason(device_, error.error());
    return false;
  }
}

void BoardAccess::MarkLost(const std::string &reason) {
  const std::lock_guard<std::mutex> lock(mutex_);
  retired_.reset();
  lines_.reset();
  lost_reason_ = reason;
}

bool BoardAccess::Connected() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return lines_ != nullptr;
}

// The failed handle is retired, not closed: the event pump's watcher may
// still be on it, and only the pump, having freed its watcher, closes it
// (MarkLost, Reopen).
template <typename Call>
bool BoardAccess::WithLines(Call &&call, std::string *lost_reason) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (lines_) {
    try {
      call(*lines_);
      return true;
    } catch (const DeviceError &error) {
      lost_reason_ = LostReason(device_, error.error());
      if (!retired_) retired_ = std::move(lines_);
      lines_.reset();
    }
  }
  *lost_reason = lost_reason_;
  return false;
}

BoardSnapshot BoardAccess::Snapshot() {
  BoardSnapshot snapshot;
  const bool read = WithLines(
      [&](LineIo &lines) {
        snapshot.through_service = lines.ThroughService();
        snapshot.state = lines.Read();
        ReadClaims(lines, device_, snapshot);
        snapshot.figures_kept = lines.ReadInputStats(snapshot.figures.data()) == 0;
        ReadSampler(lines, device_, snapshot);
      },
      &snapshot.lost_reason);
  if (!read) {
    BoardSnapshot lost;
    lost.lost_reason = std::move(snapshot.lost_reason);
    return lost;
  }
  snapshot.connected = true;
  return snapshot;
}

WriteOutcome BoardAccess::Write(int line, int level) {
  if (!Writable(line) || (level != 0 && level != 1))
    return Refused("only outputs and LEDs can be written, to 0 or 1");
  WriteOutcome outcome;
  const bool reached = WithLines(
      [&](LineIo &lines) {
        const bool leds = line >= VDIO_LED1;
        const auto bit = static_cast<uint8_t>(1u << (line - (leds ? VDIO_LED1 : VDIO_DO0)));
        const uint8_t values = level != 0 ? bit : 0;
        const bool written = leds ? lines.WriteLeds(bit, values) : lines.WriteOutputs(bit, values);
        if (!written) outcome = Held(lines, line);
      },
      &outcome.message);
  if (!reached) outcome.status = WriteStatus::kLost;
  return outcome;
}

WriteOutcome BoardAccess::Pulse(int line, uint64_t width_us) {
  if (!Writable(line)) return Refused("only outputs and LEDs can be pulsed");
  WriteOutcome outcome;
  const bool reached = WithLines(
      [&](LineIo &lines) {
        const int result = lines.Pulse(line, width_us, 1, 0);
        if (result == -EBUSY)
          outcome = Held(lines, line);
        else if (result == -EOPNOTSUPP)
          outcome = Refused("pulses need the board service (dio-boardd): a board opened "
                            "directly keeps none");
        else if (result == -EINVAL)
          outcome = Refused("the board refused a pulse of " + std::to_string(width_us) +
                            " us on " + NameOf(line));
        else if (result < 0)
          throw DeviceError(device_, -result);
      },
      &outcome.message);
  if (!reached) outcome.status = WriteStatus::kLost;
  return outcome;
}

int BoardAccess::NewWatch(uint32_t interval_us, vdio_watch **watch) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!lines_) return -ENOTCONN;
  return lines_->NewWatch(VDIO_ALL_LINES, interval_us, 0, watch);
}

}  // namespace dio_webd
