// The inputs' counts, frequencies, on-times and latches as dioctl counters
// prints them: an aligned table, or one JSON object a line.
#ifndef DIOCTL_COUNTER_REPORT_H
#define DIOCTL_COUNTER_REPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "varnik_dio_board.h"

namespace dioctl {

// One input's figures and its line (VDIO_DI0..VDIO_DI7).
struct InputFigures {
  int line;
  vdio_input_stats stats;
};

// "LINE RISING ... LATCHES" and a row per input, columns aligned, each row
// with its line end.
std::string FormatCounterTable(const std::vector<InputFigures> &figures);

// One JSON object per input, each with its line end.
std::string FormatCounterJson(const std::vector<InputFigures> &figures);

// 12345 mHz as "12.345": Hz with three decimals, exactly.
std::string HertzText(uint32_t millihertz);

// 3723004 ms as "1:02:03.004": hours (as many digits as needed), minutes,
// seconds and milliseconds.
std::string OnTimeText(uint64_t milliseconds);

// "rose fell", "rose", "fell" or "-".
std::string LatchesText(uint32_t latches);

}  // namespace dioctl

#endif
