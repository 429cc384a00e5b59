// Levels as dioctl prints them: "DI0=0 DO=0xa5", the values alone, or one
// JSON object keyed by name. get and show share these forms.
#ifndef DIOCTL_LEVEL_REPORT_H
#define DIOCTL_LEVEL_REPORT_H

#include <string>
#include <vector>

#include "line_names.h"
#include "varnik_dio_board.h"

namespace dioctl {

// The level of a line, or the mask of a group.
struct Reading {
  LineSet lines;
  unsigned value;
};

enum class ReportForm { kNamed, kNumeric, kJson };

// Every line of the board, one by one: DI0..DI7, DO0..DO7, LED1..LED3.
std::vector<LineSet> EveryLine();

// The readings of lines in a state read before, or read now from the board.
std::vector<Reading> ReadingsOf(const vdio_state &state, const std::vector<LineSet> &lines);
std::vector<Reading> ReadLevels(const vdio_board *board, const std::vector<LineSet> &lines);

// One line of text without its line end.
std::string FormatReadings(const std::vector<Reading> &readings, ReportForm form);

}  // namespace dioctl

#endif
