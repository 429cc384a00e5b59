// A C++ program built against an installed varnik_dio through
// find_package(varnik_dio) and both imported targets, as a user builds one.
// Same steps as consumer.c; refuses to run without the simulated board.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

#include <varnik_dio.h>
#include <varnik_dio_board.h>
#include <varnik_dio_board_version.h>

namespace {

bool SimulatedBoardPreloaded() {
  auto interposing = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "varnik_sim_interposing"));
  return interposing != nullptr && interposing() != 0;
}

}  // namespace

int main() {
  if (!SimulatedBoardPreloaded()) {
    std::fprintf(stderr, "consumer: the simulated board is not preloaded; refusing to run\n");
    return 2;
  }
  vdio_board *board = nullptr;
  if (int result = vdio_open("/dev/mem", &board); result != 0) {
    std::fprintf(stderr, "consumer: vdio_open: error %d\n", -result);
    return 1;
  }
  if (vdio_set(board, vdio_line_from_name("do3"), 1) != 0) return 3;
  if (vdio_set(board, VDIO_LED2, 1) != 0) return 3;
  vdio_close(board);
  std::uint16_t outputs = 0;
  if (GPO_Read(&outputs) != 0) return 4;
  std::printf("C++: board API %s (header %s), outputs 0x%02x, LEDs %d\n", vdio_version(),
              VDIO_VERSION_STRING, outputs, static_cast<int>(QelLEDCount()));
  return 0;
}
