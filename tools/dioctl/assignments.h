// NAME=LEVEL words: a line and its level ("DO3=on"), or a group and its
// mask ("DO=0xa5"), parsed and checked whole before anything is written.
#ifndef DIOCTL_ASSIGNMENTS_H
#define DIOCTL_ASSIGNMENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "line_names.h"
#include "varnik_dio_board.h"

namespace dioctl {

struct Assignment {
  LineSet lines;
  unsigned value;  // the level of a line, the mask of a group (bit n = its line n)
};

// UsageError naming the word for a missing '=', an unknown line, a bad
// level or a mask beyond the group.
Assignment ParseAssignment(const std::string &word);

// The lines the assignments write, as a line set (bit n = line n).
uint32_t WrittenLines(const std::vector<Assignment> &assignments);

// The levels the assignments leave their lines at, as a line set (bit n =
// line n): a later assignment of a line wins.
uint32_t WrittenLevels(const std::vector<Assignment> &assignments);

// Drives the assignment's lines, which must be outputs or LEDs; a write
// refused by a claim throws WriteRefused.
void ApplyAssignment(vdio_board *board, const Assignment &assignment);

}  // namespace dioctl

#endif
