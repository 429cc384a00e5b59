// The board's register map as its documentation gives it, written out
// independently of the driver's tables so that a wrong table entry fails.
#ifndef VARNIK_TESTS_BOARD_REGISTERS_H
#define VARNIK_TESTS_BOARD_REGISTERS_H

#include <cstdint>
#include <string>
#include <vector>

namespace board {

constexpr uint32_t kGpioWindow = 0xFDAE0000u;
constexpr uint32_t kLedWindow = 0xFDAF0000u;

constexpr uint32_t kInput[8] = {0xFDAE06A8u, 0xFDAE06B0u, 0xFDAE06B8u,
                                0xFDAE06C0u, 0xFDAE06C8u, 0xFDAE06D0u,
                                0xFDAE06D8u, 0xFDAE06E0u};
constexpr uint32_t kOutput[8] = {0xFDAE04E8u, 0xFDAE04F0u, 0xFDAE04F8u,
                                 0xFDAE0500u, 0xFDAE0548u, 0xFDAE0550u,
                                 0xFDAE0558u, 0xFDAE0560u};
constexpr uint32_t kLed[3] = {0xFDAF04A8u, 0xFDAF04B0u, 0xFDAF04B8u};

// Register bytes as the hardware sees them (active-low).
constexpr uint8_t kDriven = 0x00;    // output driven, LED lit
constexpr uint8_t kReleased = 0x01;  // output inactive, LED dark
constexpr uint8_t kInputActive = 0x00;
constexpr uint8_t kInputInactive = 0x02;

// Trace lines without their " pending=N" field: the calls and arguments.
inline std::vector<std::string> DeviceCalls(const std::vector<std::string> &trace) {
  std::vector<std::string> calls;
  for (const std::string &line : trace) {
    const auto at = line.find(" pending=");
    std::string call = line.substr(0, at);
    if (at != std::string::npos) {
      const auto rest = line.find(' ', at + 1);
      if (rest != std::string::npos) call += line.substr(rest);
    }
    calls.push_back(call);
  }
  return calls;
}

// The device calls of `count` complete register accesses to one page, in
// order, with the three flushes of standard output between them.
inline std::vector<std::string> Accesses(int count, const std::string &page) {
  std::vector<std::string> calls;
  for (int access = 0; access < count; ++access) {
    calls.insert(calls.end(), {"open flags=0x101002", "fflush stdout",
                               "mmap length=4096 prot=0x3 flags=0x1 offset=" + page,
                               "fflush stdout", "fflush stdout",
                               "munmap length=4096 offset=" + page, "close"});
  }
  return calls;
}

}  // namespace board

#endif
