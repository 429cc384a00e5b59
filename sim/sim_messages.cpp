// Lines for standard error, written straight to the descriptor: the board
// runs inside programs whose stdio it must not disturb.
#include "sim_internal.h"

#include <unistd.h>

namespace varnik::sim {

void WriteStderr(const char *text) {
  size_t length = strlen(text);
  if (write(STDERR_FILENO, text, length) < 0) {
    // Nothing sensible to do when stderr is gone.
  }
}

}  // namespace varnik::sim
