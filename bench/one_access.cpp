// One ReadMMap and one WriteMap of the shipped library, each between two
// marker lines written straight to stderr, so that a system call trace shows
// exactly what one access costs (bench/run-bench traces it with strace).
// Stdout is flushed before the first marker: the flushes inside an access
// then find nothing to write. Refuses to run unless the simulated board
// intercepts the device calls.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "varnik_dio.h"
#include "varnik_sim_guard.h"

namespace {

constexpr uint32_t kInputRegister = 0xFDAE06A8u;   // DI0
constexpr uint32_t kOutputRegister = 0xFDAE04E8u;  // DO0
constexpr uint8_t kOutputInactive = 0x01;

void Mark(const char *text) {
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) std::exit(3);
}

}  // namespace

int main(int, char **argv) {
  if (varnik::RequireSimulatedBoard(argv[0]) == nullptr) return 2;
  std::fflush(stdout);
  Mark("mark: ReadMMap begin\n");
  const uint8_t value = ReadMMap(kInputRegister);
  Mark("mark: ReadMMap end\n");
  Mark("mark: WriteMap begin\n");
  WriteMap(kOutputRegister, kOutputInactive);
  Mark("mark: WriteMap end\n");
  std::printf("DI0 register byte 0x%02x\n", value);
  return 0;
}
