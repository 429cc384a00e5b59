#include "register_map.h"

#include <modbus.h>

namespace dio_modbusd {

namespace {

constexpr unsigned kCoils = 11;  // DO0..DO7, LED1..LED3
constexpr unsigned kFirstLedCoil = 8;
constexpr unsigned kDiscreteInputs = 8;
constexpr unsigned kInputRegisters = 12;
constexpr unsigned kHoldingRegisters = 3;

enum InputRegisterAddress : unsigned {
  kInputsMask = 0,
  kOutputsMaskReadOnly = 1,
  kLedsMaskReadOnly = 2,
  kFirstCounter = 3,
  kWatchdogState = 11,
};
enum HoldingRegisterAddress : unsigned { kOutputsMask = 0, kLedsMask = 1, kCounterReset = 2 };

constexpr uint16_t kCoilOn = 0xFF00;
constexpr uint16_t kCoilOff = 0x0000;

// The largest value each holding register takes: the bits of its group.
constexpr uint16_t kHoldingRegisterMax[kHoldingRegisters] = {0xFF, 0x07, 0xFF};

// A clear register takes at least one of its flags: a 0 would clear
// nothing, most likely not what the controller meant.
bool ValidHoldingValue(unsigned address, uint16_t value) {
  if (address >= kFirstClearRegister) return value >= 1 && value <= kClearAll;
  return value <= kHoldingRegisterMax[address];
}

uint16_t Word(const uint8_t *bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

void AppendWord(std::vector<uint8_t> &pdu, uint16_t value) {
  pdu.push_back(static_cast<uint8_t>(value >> 8));
  pdu.push_back(static_cast<uint8_t>(value & 0xFF));
}

Answer Exception(uint8_t function, uint8_t code) {
  Answer answer;
  answer.pdu = ExceptionPdu(function, code);
  answer.exception = true;
  return answer;
}

bool InRange(unsigned start, unsigned count, unsigned size) { return start + count <= size; }

bool IsWrite(uint8_t function) {
  return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
         function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
         function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS ||
         function == MODBUS_FC_MASK_WRITE_REGISTER ||
         function == MODBUS_FC_WRITE_AND_READ_REGISTERS;
}

}  // namespace

std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code) {
  return {static_cast<uint8_t>(function | 0x80), code};
}

// What one write request changes, gathered before any of it is applied.
struct RegisterMap::Writes {
  uint8_t output_mask = 0, output_values = 0;
  uint8_t led_mask = 0, led_values = 0;
  uint8_t counter_reset = 0;
  std::array<uint8_t, VDIO_INPUT_COUNT> clears{};  // VDIO_CLEAR_* of DIn

  void Coil(unsigned address, bool on) {
    if (address < kFirstLedCoil) {
      Set(output_mask, output_values, address, on);
    } else {
      Set(led_mask, led_values, address - kFirstLedCoil, on);
    }
  }
  void HoldingRegister(unsigned address, uint16_t value) {
    const auto byte = static_cast<uint8_t>(value);
    if (address == kOutputsMask) {
      output_mask = 0xFF;
      output_values = byte;
    } else if (address == kLedsMask) {
      led_mask = 0x07;
      led_values = byte;
    } else if (address == kCounterReset) {
      counter_reset |= byte;
    } else {
      clears[address - kFirstClearRegister] = byte;
    }
  }

 private:
  static void Set(uint8_t &mask, uint8_t &values, unsigned bit, bool on) {
    mask |= static_cast<uint8_t>(1u << bit);
    if (on) {
      values |= static_cast<uint8_t>(1u << bit);
    } else {
      values &= static_cast<uint8_t>(~(1u << bit));
    }
  }
};

Answer RegisterMap::Handle(const uint8_t *pdu, size_t length) {
  if (length == 0) return Exception(0, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  const uint8_t function = pdu[0];
  if (read_only_ && IsWrite(function)) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
      return ReadBits(function, pdu, length);
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS:
      return ReadRegisters(function, pdu, length);
    case MODBUS_FC_WRITE_SINGLE_COIL:
      return WriteSingleCoil(pdu, length);
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
      return WriteMultipleCoils(pdu, length);
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
      return WriteSingleRegister(pdu, length);
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
      return WriteMultipleRegisters(pdu, length);
    default:
      return Exception(function, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
  }
}

// Checks in the order Modbus servers answer them: the request's form and
// quantity (0x03), then the addresses (0x02).
Answer RegisterMap::ReadBits(uint8_t function, const uint8_t *pdu, size_t length) {
  if (length != 5) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const unsigned start = Word(pdu + 1), count = Word(pdu + 3);
  if (count < 1 || count > MODBUS_MAX_READ_BITS)
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const bool coils = function == MODBUS_FC_READ_COILS;
  if (!InRange(start, count, coils ? kCoils : kDiscreteInputs))
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  const vdio_state state = lines_.Read();
  Answer answer;
  answer.pdu = {function, static_cast<uint8_t>((count + 7) / 8)};
  answer.pdu.resize(2 + answer.pdu[1], 0);
  for (unsigned i = 0; i < count; ++i) {
    const unsigned address = start + i;
    const bool on = coils ? Coil(state, address) : ((state.inputs >> address) & 1) != 0;
    if (on) answer.pdu[2 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  }
  return answer;
}

Answer RegisterMap::ReadRegisters(uint8_t function, const uint8_t *pdu, size_t length) {
  if (length != 5) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const unsigned start = Word(pdu + 1), count = Word(pdu + 3);
  if (count < 1 || count > MODBUS_MAX_READ_REGISTERS)
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const bool holding = function == MODBUS_FC_READ_HOLDING_REGISTERS;
  if (holding ? AmongClearRegisters(start, count) : AmongFigureRegisters(start, count))
    return ReadFigures(function, holding, start, count);
  if (!InRange(start, count, holding ? kHoldingRegisters : kInputRegisters))
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  const vdio_state state = lines_.Read();
  const std::optional<RisingCounts> counts = holding ? RisingCounts{} : CountsFor(start, count);
  if (!counts) return Exception(function, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
  Answer answer;
  answer.pdu = {function, static_cast<uint8_t>(2 * count)};
  for (unsigned address = start; address < start + count; ++address)
    AppendWord(answer.pdu, holding ? HoldingRegister(state, address)
                                   : InputRegister(state, *counts, address));
  return answer;
}

// Every register of the request from one reply of the service, so that the
// figures of several inputs (and a count's two words) belong together.
Answer RegisterMap::ReadFigures(uint8_t function, bool holding, unsigned start,
                                unsigned count) const {
  if (const auto refusal = FiguresRefusal()) return Exception(function, *refusal);
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  if (!holding && lines_.ReadInputStats(stats) != 0)
    return Exception(function, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
  Answer answer;
  answer.pdu = {function, static_cast<uint8_t>(2 * count)};
  for (unsigned address = start; address < start + count; ++address)
    AppendWord(answer.pdu, holding ? 0 : FigureRegister(stats, address));  // clears read 0
  return answer;
}

Answer RegisterMap::WriteSingleCoil(const uint8_t *pdu, size_t length) {
  const uint8_t function = MODBUS_FC_WRITE_SINGLE_COIL;
  if (length != 5) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const unsigned address = Word(pdu + 1), value = Word(pdu + 3);
  if (value != kCoilOn && value != kCoilOff)
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  if (address >= kCoils) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  Writes writes;
  writes.Coil(address, value == kCoilOn);
  return Apply(writes, std::vector<uint8_t>(pdu, pdu + 5));
}

Answer RegisterMap::WriteMultipleCoils(const uint8_t *pdu, size_t length) {
  const uint8_t function = MODBUS_FC_WRITE_MULTIPLE_COILS;
  if (length < 6) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const unsigned start = Word(pdu + 1), count = Word(pdu + 3), bytes = pdu[5];
  if (count < 1 || count > MODBUS_MAX_WRITE_BITS || bytes != (count + 7) / 8 ||
      length != 6 + bytes)
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  if (!InRange(start, count, kCoils))
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  Writes writes;
  for (unsigned i = 0; i < count; ++i) writes.Coil(start + i, (pdu[6 + i / 8] >> (i % 8)) & 1);
  return Apply(writes, std::vector<uint8_t>(pdu, pdu + 5));
}

Answer RegisterMap::WriteSingleRegister(const uint8_t *pdu, size_t length) {
  const uint8_t function = MODBUS_FC_WRITE_SINGLE_REGISTER;
  if (length != 5) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  return WriteHoldingRegisters(function, Word(pdu + 1), 1, pdu + 3,
                               std::vector<uint8_t>(pdu, pdu + 5));
}

Answer RegisterMap::WriteMultipleRegisters(const uint8_t *pdu, size_t length) {
  const uint8_t function = MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
  if (length < 6) return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  const unsigned start = Word(pdu + 1), count = Word(pdu + 3), bytes = pdu[5];
  if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != 2 * count ||
      length != 6 + bytes)
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
  return WriteHoldingRegisters(function, start, count, pdu + 6,
                               std::vector<uint8_t>(pdu, pdu + 5));
}

// values: count big-endian words. Every value is checked before any is
// applied.
Answer RegisterMap::WriteHoldingRegisters(uint8_t function, unsigned start, unsigned count,
                                          const uint8_t *values, std::vector<uint8_t> echo) {
  const bool clears = AmongClearRegisters(start, count);
  if (!clears && !InRange(start, count, kHoldingRegisters))
    return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
  if (clears)
    if (const auto refusal = FiguresRefusal()) return Exception(function, *refusal);
  Writes writes;
  for (unsigned i = 0; i < count; ++i) {
    const uint16_t value = Word(values + 2 * i);
    if (!ValidHoldingValue(start + i, value))
      return Exception(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    writes.HoldingRegister(start + i, value);
  }
  return Apply(writes, std::move(echo));
}

Answer RegisterMap::Apply(const Writes &writes, std::vector<uint8_t> echo) {
  const uint8_t function = echo[0];
  // The outputs and the LEDs are two writes: an LED held by another client
  // refuses the request before its outputs are written. (One taken in the
  // moment between is refused still, after the outputs.)
  if (!lines_claimed_ && writes.output_mask != 0 && writes.led_mask != 0 &&
      HolderAmong(VDIO_LED1, writes.led_mask))
    return Busy(function, VDIO_LED1, writes.led_mask);
  Answer answer;
  answer.pdu = std::move(echo);
  answer.wrote = true;
  if (writes.output_mask != 0) {
    if (!lines_.WriteOutputs(writes.output_mask, writes.output_values))
      return Busy(function, VDIO_DO0, writes.output_mask);
    watchdog_.Clear();  // the controller drives the outputs again
    answer.wrote_outputs = true;
  }
  if (writes.led_mask != 0 && !lines_.WriteLeds(writes.led_mask, writes.led_values))
    return Busy(function, VDIO_LED1, writes.led_mask);
  ResetCounts(writes.counter_reset);
  ClearFigures(writes.clears);
  return answer;
}

std::optional<RegisterMap::RisingCounts> RegisterMap::CountsFor(unsigned start,
                                                                unsigned count) const {
  RisingCounts counts{};
  const bool asked = start < kFirstCounter + counts.size() && start + count > kFirstCounter;
  if (!asked) return counts;
  if (keeper_ != FigureKeeper::kService) {
    for (size_t n = 0; n < counts.size(); ++n) counts[n] = counters_.Count(static_cast<int>(n));
    return counts;
  }
  vdio_input_stats stats[VDIO_INPUT_COUNT];
  if (lines_.ReadInputStats(stats) != 0) return std::nullopt;
  for (size_t n = 0; n < counts.size(); ++n)
    counts[n] = static_cast<uint16_t>(stats[n].rising);  // the low 16 bits, as ever
  return counts;
}

std::optional<uint8_t> RegisterMap::FiguresRefusal() const {
  switch (keeper_) {
    case FigureKeeper::kService:
      return std::nullopt;
    case FigureKeeper::kOlderService:
      return MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;  // there, but not kept by this service
    case FigureKeeper::kGateway:
      break;
  }
  return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;  // nobody keeps them on a board opened directly
}

// Through the service, a reset clears the counts for every client of it.
void RegisterMap::ResetCounts(uint8_t mask) {
  if (keeper_ != FigureKeeper::kService) {
    counters_.Reset(mask);
    return;
  }
  for (int input = 0; input < InputCounters::kInputs; ++input)
    if (mask & (1u << input)) lines_.ClearInputStats(VDIO_DI0 + input, VDIO_CLEAR_COUNTS);
}

void RegisterMap::ClearFigures(const std::array<uint8_t, VDIO_INPUT_COUNT> &clears) {
  for (size_t input = 0; input < clears.size(); ++input)
    if (clears[input] != 0)
      lines_.ClearInputStats(VDIO_DI0 + static_cast<int>(input), clears[input]);
}

Answer RegisterMap::Busy(uint8_t function, int first_line, uint8_t mask) const {
  Answer answer = Exception(function, MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
  answer.busy = true;
  answer.held_by = HolderAmong(first_line, mask);
  return answer;
}

// The first of the lines first_line + bit n of mask that another client holds.
std::optional<LineHolder> RegisterMap::HolderAmong(int first_line, uint8_t mask) const {
  for (int bit = 0; bit < 8; ++bit)
    if ((mask >> bit) & 1)
      if (auto holder = lines_.HolderOf(first_line + bit)) return holder;
  return std::nullopt;
}

bool RegisterMap::Coil(const vdio_state &state, unsigned address) const {
  if (address < kFirstLedCoil) return (state.outputs >> address) & 1;
  return (state.leds >> (address - kFirstLedCoil)) & 1;
}

uint16_t RegisterMap::InputRegister(const vdio_state &state, const RisingCounts &counts,
                                    unsigned address) const {
  switch (address) {
    case kInputsMask:
      return state.inputs;
    case kOutputsMaskReadOnly:
      return state.outputs;
    case kLedsMaskReadOnly:
      return state.leds;
    case kWatchdogState:
      return watchdog_.tripped() ? 1 : 0;
    default:
      return counts[address - kFirstCounter];
  }
}

uint16_t RegisterMap::HoldingRegister(const vdio_state &state, unsigned address) const {
  if (address == kOutputsMask) return state.outputs;
  if (address == kLedsMask) return state.leds;
  return 0;  // the counter reset register reads as 0
}

}  // namespace dio_modbusd
