// What a board file is: the simulated board's stand-in for the physical
// memory device, a regular file that covers the whole 32-bit physical address
// space (file offset = physical address). One check, used by the simulated
// board and by the board library alike, decides whether a file is one; any
// other file is refused before it is mapped, so a program never meets a bus
// error on a file too small for the registers.
#ifndef VARNIK_SIM_BOARD_FILE_H
#define VARNIK_SIM_BOARD_FILE_H

#include <stdint.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "varnik_pin_map.h"

namespace varnik {

constexpr uint64_t kBoardFileSize = UINT64_C(0x100000000);
// The pages that hold the registers, the only ones a program maps.
constexpr uint32_t kRegisterPages[] = {kGpioWindowBase, kLedWindowBase};
constexpr uint32_t kRegisterPageSize = 4096;

// Linux's physical memory device is the character device 1:1.
constexpr unsigned kMemoryDeviceMajor = 1;
constexpr unsigned kMemoryDeviceMinor = 1;

// Works on struct stat and struct stat64 alike.
template <typename Stat>
bool IsBoardFile(const Stat &st) {
  return S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == kBoardFileSize;
}

template <typename Stat>
bool IsMemoryDevice(const Stat &st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == kMemoryDeviceMajor &&
         minor(st.st_rdev) == kMemoryDeviceMinor;
}

}  // namespace varnik

#endif
