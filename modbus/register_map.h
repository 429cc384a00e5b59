// The gateway's Modbus data model: one request PDU (function code first) in,
// its reply PDU out, on the board's lines.
//
//   coils              0..7 DO0..DO7, 8..10 LED1..LED3        read 0x01, write 0x05 0x0F
//   discrete inputs    0..7 DI0..DI7                          read 0x02
//   input registers    0 inputs, 1 outputs, 2 LEDs (masks),   read 0x04
//                      3..10 rising edges of DI0..DI7,
//                      11 watchdog (0 normal, 1 tripped)
//   holding registers  0 outputs, 1 LEDs (masks),             read 0x03, write 0x06 0x10
//                      2 counter reset (reads 0)
//   and, through a board service that keeps them, the inputs' figures at
//   100 and up (input_figures.h). Registers 3..10 count in the gateway's
//   polls, or are the low 16 bits of the service's rising counts; holding
//   register 2 then clears those counts in the service, for every client.
//
// A write of several coils or registers is checked whole before anything is
// written: with one bad value, nothing changes. A write to a line that
// another client of the board service holds (its claim, or a pulse) is
// answered with exception 0x06, server busy, and changes nothing.
#ifndef DIO_MODBUSD_REGISTER_MAP_H
#define DIO_MODBUSD_REGISTER_MAP_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "input_counters.h"
#include "input_figures.h"
#include "shared_names.h"
#include "watchdog.h"

namespace dio_modbusd {

struct Answer {
  std::vector<uint8_t> pdu;  // the reply: function code first
  bool exception = false;    // pdu is an exception reply
  bool wrote = false;        // lines, LEDs or counters were written
  bool wrote_outputs = false;
  bool busy = false;                    // refused: another client holds a line
  std::optional<LineHolder> held_by;    // who, when it was still there to ask
};

class RegisterMap {
 public:
  // lines_claimed: this gateway holds every line it writes, so no other
  // client's claim can refuse it. keeper: who counts the inputs.
  RegisterMap(LineIo &lines, InputCounters &counters, Watchdog &watchdog, bool read_only,
              bool lines_claimed, FigureKeeper keeper)
      : lines_(lines),
        counters_(counters),
        watchdog_(watchdog),
        read_only_(read_only),
        lines_claimed_(lines_claimed),
        keeper_(keeper) {}

  Answer Handle(const uint8_t *pdu, size_t length);

 private:
  Answer ReadBits(uint8_t function, const uint8_t *pdu, size_t length);
  Answer ReadRegisters(uint8_t function, const uint8_t *pdu, size_t length);
  Answer WriteSingleCoil(const uint8_t *pdu, size_t length);
  Answer WriteMultipleCoils(const uint8_t *pdu, size_t length);
  Answer WriteSingleRegister(const uint8_t *pdu, size_t length);
  Answer WriteMultipleRegisters(const uint8_t *pdu, size_t length);
  Answer ReadFigures(uint8_t function, bool holding, unsigned start, unsigned count) const;
  Answer WriteHoldingRegisters(uint8_t function, unsigned start, unsigned count,
                               const uint8_t *values, std::vector<uint8_t> echo);

  using RisingCounts = std::array<uint16_t, InputCounters::kInputs>;
  // The counts of registers 3..10, when start .. start + count - 1 asks any.
  std::optional<RisingCounts> CountsFor(unsigned start, unsigned count) const;
  // The exception that answers registers 100 and up, where nobody keeps them.
  std::optional<uint8_t> FiguresRefusal() const;
  void ResetCounts(uint8_t mask);
  void ClearFigures(const std::array<uint8_t, VDIO_INPUT_COUNT> &clears);

  bool Coil(const vdio_state &state, unsigned address) const;
  uint16_t InputRegister(const vdio_state &state, const RisingCounts &counts,
                         unsigned address) const;
  uint16_t HoldingRegister(const vdio_state &state, unsigned address) const;

  struct Writes;
  Answer Apply(const Writes &writes, std::vector<uint8_t> echo);
  Answer Busy(uint8_t function, int first_line, uint8_t mask) const;
  std::optional<LineHolder> HolderAmong(int first_line, uint8_t mask) const;

  LineIo &lines_;
  InputCounters &counters_;
  Watchdog &watchdog_;
  bool read_only_;
  bool lines_claimed_;
  FigureKeeper keeper_;
};

// The reply to an unanswerable request: function | 0x80, then the code.
std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code);

}  // namespace dio_modbusd

#endif
