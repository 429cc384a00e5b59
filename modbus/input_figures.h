// The inputs' figures the board service keeps (counts, frequency, latches,
// on-time) as Modbus registers, and who keeps the counts the gateway serves.
//
//   input registers    100 + 10n .. 109 + 10n for DIn:          read 0x04
//                      +0 +1 rising count, +2 +3 falling count (low 32 bits),
//                      +4 +5 frequency in mHz, +6 +7 on-time in s,
//                      +8 latches (bit 0 rose, bit 1 fell), +9 reserved (0);
//                      32-bit values high word first
//   holding registers  100 + n for DIn: writing a mask clears     read 0x03, write 0x06 0x10
//                      (bit 0 counts, bit 1 latches, bit 2 on-time); reads 0
#ifndef DIO_MODBUSD_INPUT_FIGURES_H
#define DIO_MODBUSD_INPUT_FIGURES_H

#include <cstdint>

#include "shared_names.h"
#include "varnik_dio_board.h"

namespace dio_modbusd {

// Who counts the inputs for registers 3..10, and so whether registers 100
// and up are there.
enum class FigureKeeper {
  kGateway,       // a board opened directly: the gateway's polls; no registers 100 and up
  kService,       // the board service's sampler: all of them
  kOlderService,  // a service of a version before input functions: the gateway's polls,
                  // and registers 100 and up answer exception 0x04
};

// Asks the board once: lines opened through the service, and whether it
// keeps the figures.
FigureKeeper FindFigureKeeper(LineIo &lines);

constexpr unsigned kFirstFigureRegister = 100;
constexpr unsigned kFigureBlock = 10;  // input registers per input
constexpr unsigned kFigureRegisters = kFigureBlock * VDIO_INPUT_COUNT;
constexpr unsigned kFirstClearRegister = 100;
constexpr unsigned kClearRegisters = VDIO_INPUT_COUNT;
// The masks a clear register takes: at least one of VDIO_CLEAR_*.
constexpr uint16_t kClearAll = VDIO_CLEAR_COUNTS | VDIO_CLEAR_LATCHES | VDIO_CLEAR_ON_TIME;

// Whether registers start .. start + count - 1 all lie among the figures'
// input registers (or the clear holding registers).
bool AmongFigureRegisters(unsigned start, unsigned count);
bool AmongClearRegisters(unsigned start, unsigned count);

// The value of figure register address (100..179) in a snapshot of all
// inputs, stats[n] for DIn.
uint16_t FigureRegister(const vdio_input_stats *stats, unsigned address);

}  // namespace dio_modbusd

#endif
