// The words that name lines on dioctl's command line: a line ("DO3", any
// case) or a whole group ("DI", "DO", "LED").
#ifndef DIOCTL_LINE_NAMES_H
#define DIOCTL_LINE_NAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "varnik_dio_board.h"

namespace dioctl {

// One line, or a group of consecutive lines, in the board's spelling.
struct LineSet {
  std::string name;  // "DI3", "DO"
  int first;         // vdio_line of the first line
  int count;         // 1 for a single line
  bool group;

  uint32_t Bits() const { return ((1u << count) - 1) << first; }
  vdio_direction Direction() const;
};

// The line or group a word names; UsageError for any other word.
LineSet ResolveLines(const std::string &word);

// Every word resolved, in order.
std::vector<LineSet> ResolveAll(const std::vector<std::string> &words);

// The single line of lines; UsageError ("NAME is a group") for a group.
int RequireSingleLine(const LineSet &lines, const std::string &verb);

// UsageError unless every line of lines is an output or an LED.
void RequireDriven(const LineSet &lines, const std::string &verb);

// "DO3", "DO0, DO1 and LED2": lines (vdio_line numbers) in the board's
// spelling.
std::string JoinLineNames(const std::vector<int> &lines);

// The lines of a line set (bit n = line n), in order.
std::vector<int> LinesOf(uint32_t bits);

// "input", "output", "LED".
const char *DirectionName(vdio_direction direction);

}  // namespace dioctl

#endif
