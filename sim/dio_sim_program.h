// The program `dio-sim run` is asked to start: found on PATH and looked at,
// so that a program the simulated board cannot reach is refused instead of
// run on whatever device its machine has.
#ifndef VARNIK_DIO_SIM_PROGRAM_H
#define VARNIK_DIO_SIM_PROGRAM_H

#include <string>

namespace dio_sim {

// The file that the command word names: the word itself if it has a slash,
// else the first executable file of that name on PATH. Ends with 127 if
// there is none, 126 if the file cannot be executed.
std::string ResolveCommand(const std::string &word);

// The word size (32 or 64) of the program the kernel will run for path,
// following #! lines to the interpreter. Refuses (status 2) a program that
// a preload cannot reach: statically linked, set-user-ID or set-group-ID,
// with file capabilities, or not for x86 Linux.
int ContainableWordSize(const std::string &path);

}  // namespace dio_sim

#endif
