#include "line_holder.h"

#include "varnik_dio_board.h"

namespace varnik::tools {

std::string Describe(const LineHolder &holder) {
  const char *name = vdio_line_name(holder.line);
  const std::string line = name != nullptr ? name : "line " + std::to_string(holder.line);
  if (holder.pulsing) return line + " is pulsing";
  return line + " is held by \"" + holder.consumer + "\" (pid " + std::to_string(holder.pid) + ")";
}

}  // namespace varnik::tools
