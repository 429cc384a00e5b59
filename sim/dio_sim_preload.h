// Which simulated board library `dio-sim run` preloads: the one built next
// to dio-sim in a build tree, or the installed ones beside dio-sim's prefix.
#ifndef VARNIK_DIO_SIM_PRELOAD_H
#define VARNIK_DIO_SIM_PRELOAD_H

#include <string>

namespace dio_sim {

// The LD_PRELOAD entry that gives a program of this word size (32 or 64)
// the simulated board; refuses (status 2) when none of that size is built
// or installed. program is named in the refusal.
std::string PreloadFor(int word_size, const std::string &program);

}  // namespace dio_sim

#endif
