// The board file as dio-sim handles it: made, reset, or opened to set
// inputs, always checked to be a board first.
#ifndef VARNIK_DIO_SIM_BOARD_H
#define VARNIK_DIO_SIM_BOARD_H

#include <string>

#include "dio_sim_fd.h"

namespace dio_sim {

// A fresh board at path: a missing one is made, an existing board is reset
// in place (programs that have it mapped see the reset). Any other file is
// refused and left alone.
void MakeFreshBoard(const std::string &path);

// Makes a board at path unless there is one; any other file is refused.
void EnsureBoard(const std::string &path);

// The board at path, open for reading and writing; made first if missing.
UniqueFd OpenBoard(const std::string &path);

}  // namespace dio_sim

#endif
