// The lines the gateway serves: the board itself, or (for the benchmark
// only) the same three groups held in memory, so that the cost of the board
// can be measured against a server that answers without it.
#ifndef DIO_MODBUSD_LINE_IO_H
#define DIO_MODBUSD_LINE_IO_H

#include <cstdint>
#include <memory>
#include <string>

#include "varnik_dio_board.h"

namespace dio_modbusd {

class LineIo {
 public:
  virtual ~LineIo() = default;
  // Every line: bit n of inputs is DIn, of outputs DOn, bit i of leds LED(i+1).
  virtual vdio_state Read() const = 0;
  virtual uint8_t ReadInputs() const = 0;
  // Change the lines whose bit is set in mask to the level of that bit in values.
  virtual void WriteOutputs(uint8_t mask, uint8_t values) = 0;
  virtual void WriteLeds(uint8_t mask, uint8_t values) = 0;
};

// Opens the board on device; throws varnik::tools::DeviceError naming it.
std::unique_ptr<LineIo> OpenBoardLines(const std::string &device);

// Lines in memory, all inactive: the benchmark's baseline, never a board.
std::unique_ptr<LineIo> MakeMemoryLines();

}  // namespace dio_modbusd

#endif
