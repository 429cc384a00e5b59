// Test programs run only with the simulated board in charge of every open of
// the physical memory device: without it, a test would reach the real device
// of the machine it runs on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "varnik_dio_sim.h"

namespace {

const char kReexecMarker[] = "VARNIK_SIM_REEXEC";

// Runs this program again with the simulated board preloaded. Under an
// emulator (qemu-i386 for the i386 build) the program runs under it again
// and the preload goes to the program, not to the emulator.
void Reexec(char **argv) {
  std::string preload = VARNIK_SIM_LIBRARY;
  if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
    preload += std::string(":") + old;
  setenv(kReexecMarker, "1", 1);
  const char *launcher = VARNIK_TEST_LAUNCHER;
  if (*launcher == '\0') {
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
  } else {
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    self[length] = '\0';
    setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + preload).c_str(), 1);
    std::vector<char *> args = {const_cast<char *>(launcher), self};
    for (char **arg = argv + 1; *arg != nullptr; ++arg) args.push_back(*arg);
    args.push_back(nullptr);
    execv(launcher, args.data());
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (!varnik_sim_interposing()) {
    if (std::getenv(kReexecMarker) != nullptr) {
      std::fprintf(stderr,
                   "%s: the simulated board does not intercept the device calls even with "
                   "LD_PRELOAD=%s; refusing to run any test\n",
                   argv[0], VARNIK_SIM_LIBRARY);
      return 2;
    }
    Reexec(argv);
    std::perror("re-executing with the simulated board preloaded");
    return 2;
  }
  unsetenv(kReexecMarker);
  // The board library's default device: the preload's, never a board
  // service running on the machine, even when run by hand.
  setenv("VARNIK_DIO_DEVICE", "/dev/mem", 1);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
