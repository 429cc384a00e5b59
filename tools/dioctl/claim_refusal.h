// A write the board service refused because another handle holds a line,
// or a pulse is under way on it: one message naming each such line, who
// holds it and its pid, for every verb that writes.
#ifndef DIOCTL_CLAIM_REFUSAL_H
#define DIOCTL_CLAIM_REFUSAL_H

#include <cstdint>
#include <stdexcept>
#include <string>

#include "varnik_dio_board.h"

namespace dioctl {

// main prints its message and exits 1.
class WriteRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// result of a write (or claim) of the line set lines: WriteRefused naming
// the holders when it is -EBUSY, BoardCallError for any other error, the
// result itself otherwise.
int CheckedWrite(vdio_board *board, uint32_t lines, int result);

// Through the board service, WriteRefused when a line of lines is held by
// another handle or pulsing, so that a verb writing several lines in turn
// writes none of them; nothing on a device opened directly.
void RequireWritable(vdio_board *board, uint32_t lines);

// "DO3 is held by mixer (pid 1234); writes to it are refused until it
// releases it", one clause per holder; "" when none of lines is held by
// another handle or pulsing.
std::string DescribeRefusal(vdio_board *board, uint32_t lines);

}  // namespace dioctl

#endif
