// Lines and levels as the log names them.
#ifndef DIO_BOARDD_LINE_TEXT_H
#define DIO_BOARDD_LINE_TEXT_H

#include <cstdint>
#include <string>

namespace dio_boardd {

// "DO0,DO1" for a line set.
std::string LineNames(uint32_t lines);
// "DO0=0 DO1=1" for the lines of a line set at levels (bit n = line n).
std::string LineLevels(uint32_t lines, uint32_t levels);

}  // namespace dio_boardd

#endif
