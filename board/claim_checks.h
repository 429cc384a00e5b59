// The checks of a claim's lines and lease, of a pulse and of a clear of an
// input's figures, shared by the
// board library (which refuses a bad call before it asks the service) and
// the service (which refuses it from a client that speaks the wire without
// the library), so that both refuse exactly the same calls.
//
// Internal to the project; header-only and free of the C++ runtime, so that
// the libc-only board library can include it.
#ifndef VARNIK_BOARD_CLAIM_CHECKS_H
#define VARNIK_BOARD_CLAIM_CHECKS_H

#include <stdint.h>

#include "service_wire.h"
#include "varnik_dio_board.h"

namespace varnik::board {

constexpr uint32_t kDrivenLines = VDIO_OUTPUT_LINES | VDIO_LED_LINES;
constexpr uint32_t kKnownClaimFlags = VDIO_CLAIM_KEEP;

// Outputs and LEDs only, at least one.
constexpr bool IsDrivenLineSet(uint32_t lines) {
  return lines != 0 && (lines & ~kDrivenLines) == 0;
}

constexpr bool IsLease(uint32_t lease_ms) {
  return lease_ms == 0 || lease_ms >= VDIO_CLAIM_MIN_LEASE_MS;
}

// Within every limit of vdio_pulse, the whole train included.
constexpr bool IsPulse(int line, uint64_t width_us, uint32_t count, uint64_t period_us) {
  if (line < VDIO_DO0 || line >= VDIO_LINE_COUNT) return false;
  if (width_us == 0 || width_us > VDIO_PULSE_MAX_WIDTH_US) return false;
  if (count == 0 || count > VDIO_PULSE_MAX_COUNT) return false;
  if (count == 1) return true;
  // Both are bounded, so the product cannot overflow.
  return period_us > width_us && period_us <= VDIO_PULSE_MAX_PERIOD_US &&
         period_us * (count - 1) + width_us <= VDIO_PULSE_MAX_TRAIN_US;
}

// A claim's consumer, a field of wire::kNameSize bytes: the length of the
// printable ASCII name before its NUL, or -1 when it is no such name.
inline int ConsumerNameLength(const uint8_t *field) {
  for (size_t n = 0; n < wire::kNameSize; ++n) {
    if (field[n] == 0) return static_cast<int>(n);
    if (!wire::IsPrintable(static_cast<char>(field[n]))) return -1;
  }
  return -1;
}

constexpr uint32_t kKnownClearFlags = VDIO_CLEAR_COUNTS | VDIO_CLEAR_LATCHES | VDIO_CLEAR_ON_TIME;

constexpr bool IsInputLine(int line) { return line >= VDIO_DI0 && line <= VDIO_DI7; }

// What vdio_clear_input_stats may clear: at least one known flag, no other.
constexpr bool IsClearRequest(int line, uint32_t what) {
  return IsInputLine(line) && what != 0 && (what & ~kKnownClearFlags) == 0;
}

}  // namespace varnik::board

#endif
