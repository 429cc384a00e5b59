// `dio-sim inputs`: the inputs set as the outside world would set them.
#ifndef VARNIK_DIO_SIM_INPUTS_H
#define VARNIK_DIO_SIM_INPUTS_H

#include <cstdint>
#include <string>
#include <vector>

namespace dio_sim {

// Which inputs to set (bit n for DIn) and to what (bit n set: DIn active).
struct InputLevels {
  uint8_t chosen = 0;
  uint8_t active = 0;
};

// Reads NAME=LEVEL words (DI0..DI7; 0/1, on/off, active/inactive, any
// case) or one MASK (0x3c, or decimal 0..255) that sets all eight. Refuses
// the first bad word, naming it.
InputLevels ParseInputLevels(const std::vector<std::string> &words);

// Sets the sensed bit of each chosen input's register on the board file
// open as fd, leaving the other bits of those bytes alone.
void ApplyInputLevels(int fd, const std::string &board, const InputLevels &levels);

}  // namespace dio_sim

#endif
