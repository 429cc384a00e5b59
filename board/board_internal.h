// Inside the board library: the open board, where each line's register lies
// in the two held pages, and the one-byte register access.
#ifndef VARNIK_BOARD_INTERNAL_H
#define VARNIK_BOARD_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include <utility>

#include "varnik_dio_board.h"
#include "varnik_pin_map.h"

namespace varnik::board {

constexpr size_t kPageLength = 0x1000;
constexpr uint32_t kInPageMask = 0x0FFFu;

enum Window : uint8_t { kGpioWindow = 0, kLedWindow = 1, kWindowCount = 2 };

constexpr uint32_t kWindowBase[kWindowCount] = {kGpioWindowBase, kLedWindowBase};

// Where one line's register byte lies, and how its level is read.
struct LineRegister {
  Window window;
  uint16_t page_offset;  // of the register byte within its window's page
  uint8_t bit;           // mask of the bit that carries the level
  vdio_direction direction;
};

constexpr uint32_t LineAddress(int line) {
  return line < kGpioLineCount ? GpioAddress(kGpioOffsets[line])
                               : LedAddress(kLedOffsets[line - kGpioLineCount]);
}

constexpr LineRegister LineRegisterOf(int line) {
  return LineRegister{
      line < kGpioLineCount ? kGpioWindow : kLedWindow,
      static_cast<uint16_t>(LineAddress(line) & kInPageMask),
      line < kInputCount ? kSensedLevelBit : kDrivenLevelBit,
      line < kInputCount ? VDIO_INPUT : line < kGpioLineCount ? VDIO_OUTPUT : VDIO_LED};
}

// The board holds one page per window: every register must lie in it.
constexpr bool EveryRegisterInItsWindowPage() {
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) {
    const LineRegister reg = LineRegisterOf(line);
    if ((LineAddress(line) & ~kInPageMask) != kWindowBase[reg.window]) return false;
    if (!IsRegisterAddress(LineAddress(line))) return false;
  }
  return true;
}
static_assert(EveryRegisterInItsWindowPage(), "a register lies outside its window's page");

constexpr bool IsLine(int line) { return line >= 0 && line < VDIO_LINE_COUNT; }

// Every line's register, worked out once at compile time.
struct LineTable {
  LineRegister line[VDIO_LINE_COUNT];
};

constexpr LineTable MakeLineTable() {
  LineTable table{};
  for (int line = 0; line < VDIO_LINE_COUNT; ++line) table.line[line] = LineRegisterOf(line);
  return table;
}

inline constexpr LineTable kLineTable = MakeLineTable();

// Registers are single bytes, loaded and stored whole by one byte-wide
// access. Relaxed atomics give exactly that instruction and tell the
// compiler (and ThreadSanitizer) that other threads touch the same bytes.
inline uint8_t LoadRegister(const volatile uint8_t *reg) {
  return __atomic_load_n(reg, __ATOMIC_RELAXED);
}
inline void StoreRegister(volatile uint8_t *reg, uint8_t value) {
  __atomic_store_n(reg, value, __ATOMIC_RELAXED);
}

// The public structs keep one layout per target; a change is an ABI break
// that needs a new SONAME.
static_assert(sizeof(vdio_state) == 3, "vdio_state layout changed");
static_assert(offsetof(vdio_event, timestamp_ns) == (sizeof(void *) == 8 ? 16 : 12),
              "vdio_event layout changed");
static_assert(sizeof(vdio_event) == (sizeof(void *) == 8 ? 24 : 20), "vdio_event layout changed");
static_assert(sizeof(vdio_line_info) == (sizeof(void *) == 8 ? 24 : 16),
              "vdio_line_info layout changed");

}  // namespace varnik::board

namespace varnik::board {
struct ServiceBoard;
}

// A board is held either directly (its two mapped pages) or through the
// board service (service is then set, and every call is a round trip).
struct vdio_board {
  volatile uint8_t *page[varnik::board::kWindowCount];
  int kind;  // enum vdio_device_kind
  varnik::board::ServiceBoard *service;
};

namespace varnik::board {

inline volatile uint8_t *RegisterOf(const vdio_board *board, int line) {
  const LineRegister &reg = kLineTable.line[line];
  return board->page[reg.window] + reg.page_offset;
}

// The logical level of a line, 0 or 1; the line must be in the map.
inline int LevelOf(const vdio_board *board, int line) {
  return LevelFromBit(LoadRegister(RegisterOf(board, line)), kLineTable.line[line].bit);
}

// The line's register bit, moved to bit 0.
template <int line>
inline unsigned RegisterBit(const volatile uint8_t *page) {
  constexpr LineRegister reg = kLineTable.line[line];
  constexpr int shift = __builtin_ctz(reg.bit);
  return (static_cast<unsigned>(LoadRegister(page + reg.page_offset)) >> shift) & 1u;
}

// Active-low: the register bits are gathered, then inverted once.
template <int first, int... n>
inline uint8_t GroupLevels(const vdio_board *board, std::integer_sequence<int, n...>) {
  const volatile uint8_t *page = board->page[kLineTable.line[first].window];
  constexpr unsigned group = (1u << sizeof...(n)) - 1;
  return static_cast<uint8_t>(~((RegisterBit<first + n>(page) << n) | ...) & group);
}

// The levels of count lines from first on, bit n for line first + n,
// unrolled at compile time into one load per line. A group lies in one
// window, so its loads need only that window's page.
template <int first, int count>
inline uint8_t GroupLevels(const vdio_board *board) {
  return GroupLevels<first>(board, std::make_integer_sequence<int, count>{});
}

}  // namespace varnik::board

#endif
