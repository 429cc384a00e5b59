#include "dio_sim_error.h"

#include <cstring>

namespace dio_sim {

std::string ErrnoText(int error) { return std::strerror(error); }

}  // namespace dio_sim
