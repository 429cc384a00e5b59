// The board's pin map, internal to the project: which register carries each
// line, which bit of the register byte carries its level, and the active-low
// convention. Both libraries compile this one header (libvarnik_dio exports
// its tables as GPIOs and LEDs; the board library keeps them private), so the
// map exists once in the source.
#ifndef VARNIK_PIN_MAP_H
#define VARNIK_PIN_MAP_H

#include <stdint.h>

// The register offsets, as the initialiser lists of the tables. Indices 0..7
// are DI0..DI7 and 8..15 DO0..DO7; the outputs are not contiguous (DO3 at
// 0x500 is followed by DO4 at 0x548).
#define VARNIK_GPIO_OFFSETS                                   \
  0x6A8, 0x6B0, 0x6B8, 0x6C0, 0x6C8, 0x6D0, 0x6D8, 0x6E0, /* DI0..DI7 */ \
      0x4E8, 0x4F0, 0x4F8, 0x500, 0x548, 0x550, 0x558, 0x560 /* DO0..DO7 */
#define VARNIK_LED_OFFSETS 0x4A8, 0x4B0, 0x4B8 /* LED1..LED3 */

namespace varnik {

constexpr uint32_t kGpioWindowBase = 0xFDAE0000u;  // all sixteen digital lines
constexpr uint32_t kLedWindowBase = 0xFDAF0000u;   // the three LEDs
// Every register of the board lies above this address; anything composed at
// or below it is not a register and is never touched.
constexpr uint32_t kRegisterAddressFloor = 0xFCFFFFFFu;

constexpr int32_t kGpioOffsets[16] = {VARNIK_GPIO_OFFSETS};
constexpr int32_t kLedOffsets[3] = {VARNIK_LED_OFFSETS};

constexpr uint8_t kInputCount = 8;
constexpr uint8_t kOutputCount = 8;
constexpr uint8_t kFirstOutputIndex = 8;  // DOn is GPIO table index n + 8
constexpr uint8_t kGpioLineCount = 16;
constexpr uint8_t kLedCount = 3;

// Bits of the pin register byte. Both are active-low.
constexpr uint8_t kDrivenLevelBit = 0x01;  // outputs and LEDs: written and read back
constexpr uint8_t kSensedLevelBit = 0x02;  // inputs: read only
// A write stores a whole byte, the other seven bits 0.
constexpr uint8_t kRegisterActive = 0x00;    // output driven, LED lit
constexpr uint8_t kRegisterInactive = 0x01;  // output released, LED dark

// A composed window address, by OR: bits of the offset that the base already
// has stay as they are.
constexpr uint32_t GpioAddress(int32_t offset) {
  return static_cast<uint32_t>(offset) | kGpioWindowBase;
}
constexpr uint32_t LedAddress(int32_t offset) {
  return static_cast<uint32_t>(offset) | kLedWindowBase;
}

constexpr bool IsRegisterAddress(uint32_t address) { return address > kRegisterAddressFloor; }

// The register byte that puts a line at logical level 1 or 0.
constexpr uint8_t RegisterByteFor(uint8_t level) {
  return level == 1 ? kRegisterActive : kRegisterInactive;
}

// Active-low: a clear bit is a logical 1.
constexpr uint8_t LevelFromBit(uint8_t register_byte, uint8_t bit) {
  return (register_byte & bit) == 0 ? 1 : 0;
}

}  // namespace varnik

#endif
