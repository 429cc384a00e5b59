// libFuzzer target: the driver's whole interface and the board API's,
// called with whatever the input says, on the simulated board.
//
// The input is a sequence of calls: one byte picks the function, the bytes
// after it are its arguments (missing bytes read as 0). Every result is
// checked against what the interface promises, and every register or byte
// the input itself has written is remembered, so that reading it back later
// in the same input must give that value. Anything else aborts, as does any
// memory error the sanitizers see (the driver is compiled into this program
// with them, so a lookup outside a table traps).
//
// The board API holds the board file named by VARNIK_SIM_BOARD open as its
// device for the whole run, so both libraries work on the same registers and
// the model covers what either wrote; the device path is never fuzzed.
//
// It runs only with libvarnik_dio_sim.so preloaded and VARNIK_SIM_BOARD set
// (fuzz/run-fuzz does both); it refuses to start otherwise.
#include "board_registers.h"
#include "varnik_dio.h"
#include "varnik_dio_board.h"
#include "varnik_dio_sim.h"
#include "varnik_sim_guard.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <unordered_map>

// The board is preloaded ahead of the sanitizer runtime on purpose (its
// open, mmap, munmap and close must be the ones the process resolves): the
// runtime's check that it comes first is turned off.
extern "C" const char *__asan_default_options() { return "verify_asan_link_order=0"; }

namespace {

#define CHECK(condition, ...)                                                  \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "driver_fuzz: %s failed: ", #condition);            \
      std::fprintf(stderr, __VA_ARGS__);                                       \
      std::fputc('\n', stderr);                                                \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  int32_t I32() { return static_cast<int32_t>(U32()); }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Register bytes are active-low: bit 0 for outputs and LEDs, bit 1 for
// inputs.
constexpr uint8_t kDrivenBit = 0x01;
constexpr uint8_t kSensedBit = 0x02;

uint8_t LevelOf(uint8_t register_byte, uint8_t bit) { return (register_byte & bit) ? 0 : 1; }
uint8_t ByteFor(uint8_t level) { return level ? board::kDriven : board::kReleased; }

// The bytes this input has written, and what each must read back as.
class Model {
 public:
  void Wrote(uint32_t address, uint8_t value) { known_[address] = value; }
  bool Known(uint32_t address, uint8_t *value) const {
    const auto it = known_.find(address);
    if (it == known_.end()) return false;
    *value = it->second;
    return true;
  }
  // A line or LED level read from the register at address: 0 or 1, and the
  // level last written there if this input wrote it.
  void CheckLevel(uint32_t address, uint8_t bit, uint8_t level, const char *what) const {
    CHECK(level <= 1, "%s level %u", what, level);
    uint8_t byte;
    if (Known(address, &byte))
      CHECK(level == LevelOf(byte, bit), "%s at 0x%08x reads %u, register 0x%02x", what,
            address, level, byte);
  }

 private:
  std::unordered_map<uint32_t, uint8_t> known_;
};

// The register at table index 0..15 (DI0..DI7, DO0..DO7).
uint32_t LineRegister(uint8_t index) {
  return index < 8 ? board::kInput[index] : board::kOutput[index - 8];
}

// An address for a byte access: in either register window, on a register,
// or elsewhere in the 32-bit space. Writes elsewhere stay on 512 pages
// spread over the space (both ends and both sides of 2 GiB among them), so
// that the sparse board file stays small.
uint32_t Address(Input &in) {
  const uint8_t how = in.U8();
  switch (how % 4) {
    case 0:
      return board::kGpioWindow | in.U16();
    case 1:
      return board::kLedWindow | in.U16();
    case 2: {
      const uint8_t n = static_cast<uint8_t>(in.U8() % 19);
      return n < 16 ? LineRegister(n) : board::kLed[n - 16];
    }
    default: {
      const uint32_t top = static_cast<uint32_t>(in.U8()) << 24;
      const uint32_t middle = (how & 0x80) ? 0x00FFF000u : 0;
      return top | middle | (in.U16() & 0x0FFFu);
    }
  }
}

void ReadByte(Model &model, uint32_t address) {
  const uint8_t value = ReadMMap(address);
  uint8_t expected;
  if (model.Known(address, &expected))
    CHECK(value == expected, "ReadMMap(0x%08x) = 0x%02x after writing 0x%02x", address, value,
          expected);
}

// GPO_Read (outputs) or GPI_Read, into a mask or a null pointer.
void ReadPort(Input &in, const Model &model, bool outputs) {
  const bool null = in.U8() & 1;
  uint16_t mask = 0xEEEE;
  const int16_t status =
      outputs ? GPO_Read(null ? nullptr : &mask) : GPI_Read(null ? nullptr : &mask);
  const char *name = outputs ? "GPO_Read" : "GPI_Read";
  if (null) {
    CHECK(status == -1, "%s(NULL) = %d", name, status);
    return;
  }
  CHECK(status == 0 && mask <= 0xFF, "%s = %d, mask 0x%04x", name, status, mask);
  for (int n = 0; n < 8; ++n) {
    model.CheckLevel(outputs ? board::kOutput[n] : board::kInput[n],
                     outputs ? kDrivenBit : kSensedBit, (mask >> n) & 1, name);
  }
}

// ---- The board API ----------------------------------------------------------

vdio_board *g_board = nullptr;

// A line number: mostly in or near the map, sometimes anything.
int LineNumber(Input &in) {
  const uint8_t how = in.U8();
  return how & 0x80 ? in.I32() : static_cast<int>(how % 24) - 2;
}

// Where line 0..18 lives and which bit carries its level.
uint32_t BoardLineRegister(int line) {
  return line < 16 ? LineRegister(static_cast<uint8_t>(line)) : board::kLed[line - 16];
}
uint8_t BoardLineBit(int line) { return line < 8 ? kSensedBit : kDrivenBit; }

void CheckGroup(const Model &model, int first, int count, uint8_t mask, const char *what) {
  CHECK(count == 8 || (mask >> count) == 0, "%s mask 0x%02x beyond the group", what, mask);
  for (int n = 0; n < count; ++n)
    model.CheckLevel(BoardLineRegister(first + n), BoardLineBit(first + n), (mask >> n) & 1, what);
}

void BoardGet(Input &in, const Model &model) {
  const int line = LineNumber(in);
  const int result = vdio_get(g_board, line);
  if (line < 0 || line >= VDIO_LINE_COUNT) {
    CHECK(result == -EINVAL, "vdio_get(%d) = %d", line, result);
    return;
  }
  CHECK(result == 0 || result == 1, "vdio_get(%d) = %d", line, result);
  model.CheckLevel(BoardLineRegister(line), BoardLineBit(line), static_cast<uint8_t>(result),
                   "vdio_get");
}

void BoardSet(Input &in, Model &model) {
  const int line = LineNumber(in);
  const int level = in.U8() & 0x80 ? in.I32() : in.U8() % 4;
  const int result = vdio_set(g_board, line, level);
  if (line >= VDIO_DO0 && line < VDIO_LINE_COUNT && (level == 0 || level == 1)) {
    CHECK(result == 0, "vdio_set(%d, %d) = %d", line, level, result);
    model.Wrote(BoardLineRegister(line), ByteFor(static_cast<uint8_t>(level)));
  } else {
    CHECK(result == -EINVAL, "vdio_set(%d, %d) = %d", line, level, result);
  }
}

void BoardRead(const Model &model) {
  vdio_state state{};
  CHECK(vdio_read(g_board, &state) == 0, "vdio_read");
  CheckGroup(model, VDIO_DI0, 8, state.inputs, "vdio_read inputs");
  CheckGroup(model, VDIO_DO0, 8, state.outputs, "vdio_read outputs");
  CheckGroup(model, VDIO_LED1, 3, state.leds, "vdio_read leds");
  uint8_t inputs = 0;
  CHECK(vdio_read_inputs(g_board, &inputs) == 0, "vdio_read_inputs");
  CheckGroup(model, VDIO_DI0, 8, inputs, "vdio_read_inputs");
}

void BoardWriteGroup(Input &in, Model &model, bool leds) {
  const uint8_t mask = in.U8(), values = in.U8();
  const int result = leds ? vdio_write_leds(g_board, mask, values)
                          : vdio_write_outputs(g_board, mask, values);
  const int first = leds ? VDIO_LED1 : VDIO_DO0, count = leds ? 3 : 8;
  if (leds && mask > 7) {
    CHECK(result == -EINVAL, "vdio_write_leds(0x%02x) = %d", mask, result);
    return;
  }
  CHECK(result == 0, "vdio_write_%s(0x%02x, 0x%02x) = %d", leds ? "leds" : "outputs", mask,
        values, result);
  for (int n = 0; n < count; ++n)
    if ((mask >> n) & 1)
      model.Wrote(BoardLineRegister(first + n), ByteFor((values >> n) & 1));
}

void BoardNames(Input &in) {
  char name[8];
  const size_t length = in.U8() % sizeof name;
  for (size_t i = 0; i < length; ++i) name[i] = static_cast<char>(in.U8());
  name[length] = '\0';
  const int line = vdio_line_from_name(name);
  if (line == -EINVAL) {
    for (int l = 0; l < VDIO_LINE_COUNT; ++l)
      CHECK(strcasecmp(name, vdio_line_name(l)) != 0, "\"%s\" not found", name);
    return;
  }
  CHECK(line >= 0 && line < VDIO_LINE_COUNT && strcasecmp(name, vdio_line_name(line)) == 0,
        "vdio_line_from_name(\"%s\") = %d", name, line);
  vdio_line_info info{};
  CHECK(vdio_get_line_info(line, &info) == 0 && info.address == BoardLineRegister(line),
        "vdio_get_line_info(%d)", line);
}

void BoardWatchOnce(Input &in) {
  // Each value a little past its limit at most, so that both sides of the
  // limits are reached.
  const uint32_t lines = in.U32(), interval = in.U32() % (VDIO_WATCH_MAX_INTERVAL_US + 2),
                 debounce = in.U32() % (VDIO_WATCH_MAX_DEBOUNCE_US + 2);
  vdio_watch *watch = nullptr;
  const int result = vdio_watch_new(g_board, lines, interval, debounce, &watch);
  const bool valid = lines != 0 && (lines >> VDIO_LINE_COUNT) == 0 && interval >= 1 &&
                     interval <= VDIO_WATCH_MAX_INTERVAL_US &&
                     debounce <= VDIO_WATCH_MAX_DEBOUNCE_US;
  if (!valid) {
    CHECK(result == -EINVAL && watch == nullptr, "vdio_watch_new(0x%x, %u) = %d", lines,
          interval, result);
    return;
  }
  CHECK(result == 0, "vdio_watch_new(0x%x, %u, %u) = %d", lines, interval, debounce, result);
  // Nothing changes between the watcher's start and its first look.
  vdio_event event;
  const int next = vdio_watch_next(watch, 0, &event);
  CHECK(next == 0, "vdio_watch_next with no change = %d (line %d)", next, event.line);
  vdio_watch_free(watch);
}

void BoardCall(Input &in, Model &model) {
  switch (in.U8() % 7) {
    case 0: BoardGet(in, model); break;
    case 1: BoardSet(in, model); break;
    case 2: BoardRead(model); break;
    case 3: BoardWriteGroup(in, model, false); break;
    case 4: BoardWriteGroup(in, model, true); break;
    case 5: BoardNames(in); break;
    default: BoardWatchOnce(in); break;
  }
}

// ---- The driver -------------------------------------------------------------

void Call(Input &in, Model &model) {
  const uint8_t call = in.U8();
  if (call & 0x80) {
    BoardCall(in, model);
    return;
  }
  switch (call % 16) {
    case 0: {
      const int32_t offset = in.I32();
      const uint32_t address = GetGPIOAddress(offset);
      CHECK(address == (static_cast<uint32_t>(offset) | board::kGpioWindow),
            "GetGPIOAddress(%d) = 0x%08x", offset, address);
      break;
    }
    case 1: {
      const int32_t offset = in.I32();
      const uint32_t address = GetLEDAddress(offset);
      CHECK(address == (static_cast<uint32_t>(offset) | board::kLedWindow),
            "GetLEDAddress(%d) = 0x%08x", offset, address);
      break;
    }
    case 2: {  // the tables against the board's register map
      const uint8_t i = in.U8();
      CHECK(GetGPIOAddress(GPIOs[i % 16]) == LineRegister(i % 16), "GPIOs[%u]", i % 16);
      CHECK(GetLEDAddress(LEDs[i % 3]) == board::kLed[i % 3], "LEDs[%u]", i % 3);
      break;
    }
    case 3:
      ReadByte(model, Address(in));
      break;
    case 4: {
      const uint32_t address = Address(in);
      const uint8_t value = in.U8();
      CHECK(WriteMap(address, value) == 1, "WriteMap(0x%08x, 0x%02x)", address, value);
      model.Wrote(address, value);
      break;
    }
    case 5: {
      const uint8_t output = in.U8(), level = in.U8();
      const int16_t status = GPIOWriteToPin(output, level);
      if (output < 8 && level <= 1) {
        CHECK(status == 0, "GPIOWriteToPin(%u, %u) = %d", output, level, status);
        model.Wrote(board::kOutput[output], ByteFor(level));
      } else {
        CHECK(status == -1, "GPIOWriteToPin(%u, %u) = %d", output, level, status);
      }
      break;
    }
    case 6: {
      const uint8_t index = in.U8();
      const bool null = in.U8() & 1;
      uint8_t level = 0xEE;
      const int16_t status = GPIOReadFromPin(index, null ? nullptr : &level);
      if (index < 16 && !null) {
        CHECK(status == 0, "GPIOReadFromPin(%u) = %d", index, status);
        model.CheckLevel(LineRegister(index), index < 8 ? kSensedBit : kDrivenBit, level,
                         "GPIOReadFromPin");
      } else {
        CHECK(status == -1 && level == 0xEE, "GPIOReadFromPin(%u, %s) = %d, level %u", index,
              null ? "NULL" : "&level", status, level);
      }
      break;
    }
    case 7: {
      const uint8_t index = in.U8(), level = in.U8();
      const uint8_t result = LEDWriteToPin(index, level);
      const bool accepted = index < 3 && level <= 1;
      CHECK(result == (accepted ? 1 : 0), "LEDWriteToPin(%u, %u) = %u", index, level, result);
      if (accepted) model.Wrote(board::kLed[index], ByteFor(level));
      break;
    }
    case 8: {
      const uint8_t index = in.U8();
      const uint8_t level = LEDReadFromPin(index);
      if (index < 3)
        model.CheckLevel(board::kLed[index], kDrivenBit, level, "LEDReadFromPin");
      else
        CHECK(level == 0, "LEDReadFromPin(%u) = %u", index, level);
      break;
    }
    case 9:
      CHECK(GPIO_Init() == 0, "GPIO_Init");
      break;
    case 10: {
      const uint16_t mask = in.U16();
      const int16_t status = GPO_Write(mask);
      CHECK(status == 0, "GPO_Write(0x%04x) = %d", mask, status);
      for (int n = 0; n < 8; ++n) model.Wrote(board::kOutput[n], ByteFor((mask >> n) & 1));
      break;
    }
    case 11:
      ReadPort(in, model, false);
      break;
    case 12:
      ReadPort(in, model, true);
      break;
    case 13: {
      const int32_t lit = QelLEDCount();
      CHECK(lit >= 0 && lit <= 7, "QelLEDCount = %d", lit);
      for (int n = 0; n < 3; ++n)
        model.CheckLevel(board::kLed[n], kDrivenBit, (lit >> n) & 1, "QelLEDCount");
      break;
    }
    case 14: {
      const int32_t number = in.I32(), level = in.I32();
      const uint8_t result = QelLEDSetValue(number, level);
      // Only the low 8 bits of number - 1 and of level count.
      const uint8_t index = static_cast<uint8_t>(static_cast<uint32_t>(number) - 1u);
      const uint8_t low_level = static_cast<uint8_t>(level);
      const bool accepted = index < 3 && low_level <= 1;
      CHECK(result == (accepted ? 1 : 0), "QelLEDSetValue(%d, %d) = %u", number, level, result);
      if (accepted) model.Wrote(board::kLed[index], ByteFor(low_level));
      break;
    }
    default:  // a read anywhere in the 32-bit space
      ReadByte(model, in.U32());
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Without the simulated board in charge of the device calls, the driver
  // would reach the physical memory of this machine.
  const char *board = varnik::RequireSimulatedBoard("driver_fuzz");
  if (board == nullptr) std::exit(2);
  // The driver's first access creates the board file.
  GPIO_Init();
  ReadMMap(board::kGpioWindow);
  const int opened = vdio_open(board, &g_board);
  if (opened != 0) {
    std::fprintf(stderr, "driver_fuzz: cannot open the board file %s: %s\n", board,
                 std::strerror(-opened));
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  Model model;
  while (!in.Empty()) Call(in, model);
  // Every access was complete: nothing of the device is left open.
  CHECK(varnik_sim_open_descriptors() == 0 && varnik_sim_open_mappings() == 0,
        "%u descriptors, %u mappings of the device left open", varnik_sim_open_descriptors(),
        varnik_sim_open_mappings());
  return 0;
}
