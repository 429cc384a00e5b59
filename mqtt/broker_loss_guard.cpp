#include "broker_loss_guard.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "tool_messages.h"

namespace dio_mqttd {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using varnik::tools::Microseconds;
using varnik::tools::PrintLine;
using varnik::tools::TimePoint;

namespace {

std::string Hex(uint8_t value) {
  static const char kDigits[] = "0123456789abcdef";
  return std::string("0x") + kDigits[value >> 4] + kDigits[value & 0xF];
}

// "1s" or "1500ms", as a lease is given.
std::string LeaseText(Microseconds lease) {
  const auto ms = duration_cast<milliseconds>(lease).count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + "s" : std::to_string(ms) + "ms";
}

// "1.2s": how long the broker has been silent, to a tenth.
std::string TenthsText(Microseconds silence) {
  const auto tenths = duration_cast<milliseconds>(silence).count() / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "s";
}

}  // namespace

BrokerLossGuard::BrokerLossGuard(std::optional<Microseconds> lease, uint8_t safe_outputs,
                                 TimePoint now)
    : lease_(lease), safe_outputs_(safe_outputs), last_alive_(now) {}

void BrokerLossGuard::Connected(TimePoint now) {
  if (lease_ && safe_written_)
    PrintLine("the broker is back: the outputs stay at their safe values until a set drives them");
  connected_ = true;
  safe_written_ = false;
  Alive(now);
}

void BrokerLossGuard::Alive(TimePoint now) { last_alive_ = std::max(last_alive_, now); }

void BrokerLossGuard::Lost(TimePoint) { connected_ = false; }

bool BrokerLossGuard::Check(TimePoint now, varnik::tools::LineIo &lines) {
  const auto deadline = Deadline();
  if (!deadline || now < *deadline) return false;
  safe_written_ = true;
  const bool outputs = lines.WriteOutputs(0xFF, safe_outputs_);
  const bool leds = lines.WriteLeds(0x07, 0x00);
  std::string line = "no answer from the broker for " +
                     TenthsText(duration_cast<Microseconds>(now - last_alive_)) +
                     " (longer than --lease " + LeaseText(*lease_) + "): ";
  if (outputs && leds)
    line += "outputs set to their safe values " + Hex(safe_outputs_) + ", LEDs dark";
  else
    line += "could not write the safe values: a line is held by another client";
  PrintLine(line);
  return true;
}

std::optional<TimePoint> BrokerLossGuard::Deadline() const {
  if (!lease_ || safe_written_) return std::nullopt;
  return last_alive_ + *lease_;
}

bool BrokerLossGuard::ProbeDue(TimePoint now) {
  const auto due = NextProbe();
  if (!due || now < *due) return false;
  last_probe_ = now;
  return true;
}

std::optional<TimePoint> BrokerLossGuard::NextProbe() const {
  if (!lease_ || !connected_ || safe_written_) return std::nullopt;
  return std::max(last_alive_, last_probe_) + *lease_ / 4;
}

}  // namespace dio_mqttd
