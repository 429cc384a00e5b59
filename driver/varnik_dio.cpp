// varnik_dio: digital I/O of the board through "/dev/mem".
//
// Three levels, bottom up: byte access to a physical address, line
// operations over the pin map, and port and LED-group functions. Nothing is
// kept between calls; every register access is one complete
// open / map / access / unmap / close.

#include "varnik_dio.h"
#include "varnik_pin_map.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

// Register addresses lie above 2 GiB; a 32-bit file offset would turn them
// negative and map the wrong place. Build with _FILE_OFFSET_BITS=64.
static_assert(sizeof(off_t) >= 8, "varnik_dio needs 64-bit file offsets");

// ---- Pin map ----------------------------------------------------------------

const int32_t GPIOs[16] = {VARNIK_GPIO_OFFSETS};
const int32_t LEDs[3] = {VARNIK_LED_OFFSETS};

namespace {

using varnik::kFirstOutputIndex;
using varnik::kGpioLineCount;
using varnik::kInputCount;
using varnik::kLedCount;
using varnik::kOutputCount;

constexpr int16_t kPinOk = 0;
constexpr int16_t kPinRejected = -1;
constexpr int16_t kPinWriteFailed = -200;

}  // namespace

extern "C" uint32_t GetGPIOAddress(int32_t offset) { return varnik::GpioAddress(offset); }

extern "C" uint32_t GetLEDAddress(int32_t offset) { return varnik::LedAddress(offset); }

// ---- Byte access ------------------------------------------------------------

namespace {

constexpr const char kDevicePath[] = "/dev/mem";
constexpr const char kSourceFileName[] = "varnik_dio.cpp";
constexpr size_t kPageLength = 0x1000;
constexpr uint32_t kPageMask = 0xFFFFF000u;
constexpr uint32_t kInPageMask = 0x00000FFFu;

// The numbers the access failure report carries. Users and their scripts
// know a failure by these, so they never change with the code around them.
enum FailurePoint : int {
  kReadOpenFailed = 106,
  kReadMapFailed = 112,
  kReadUnmapFailed = 121,
  kWriteOpenFailed = 131,
  kWriteMapFailed = 137,
  kWriteUnmapFailed = 148,
};

struct FailurePoints {
  FailurePoint open, map, unmap;
};

constexpr FailurePoints kReadFailurePoints = {kReadOpenFailed, kReadMapFailed,
                                              kReadUnmapFailed};
constexpr FailurePoints kWriteFailurePoints = {
    kWriteOpenFailed, kWriteMapFailed, kWriteUnmapFailed};

// The device failed: report it and end the process. Nothing is released;
// the process end does that.
[[noreturn]] void ReportAccessFailure(FailurePoint point) {
  const int error = errno;
  fprintf(stderr, "Error at line %d, file %s (%d) [%s]\n",
          static_cast<int>(point), kSourceFileName, error, strerror(error));
  exit(1);
}

// One page of the device, mapped for one byte access. Standard output is
// flushed after the open and after the mapping, so whatever the caller
// printed is out before the hardware is touched.
volatile uint8_t *MapRegister(uint32_t address, const FailurePoints &points,
                              int *fd_out) {
  const int fd = open(kDevicePath, O_RDWR | O_SYNC);
  if (fd == -1) ReportAccessFailure(points.open);
  fflush(stdout);
  // Zero-extended: the offset reaches the kernel as the unsigned address.
  const off_t page_offset = static_cast<off_t>(address & kPageMask);
  void *page = mmap(nullptr, kPageLength, PROT_READ | PROT_WRITE, MAP_SHARED,
                    fd, page_offset);
  if (page == MAP_FAILED) ReportAccessFailure(points.map);
  fflush(stdout);
  *fd_out = fd;
  return static_cast<volatile uint8_t *>(page) + (address & kInPageMask);
}

void UnmapRegister(volatile uint8_t *reg, uint32_t address, int fd,
                   const FailurePoints &points) {
  fflush(stdout);
  void *page = const_cast<uint8_t *>(reg - (address & kInPageMask));
  if (munmap(page, kPageLength) == -1) ReportAccessFailure(points.unmap);
  close(fd);  // a failed close leaves nothing to undo
}

}  // namespace

extern "C" uint8_t ReadMMap(uint32_t address) {
  int fd = -1;
  volatile uint8_t *reg = MapRegister(address, kReadFailurePoints, &fd);
  const uint8_t value = *reg;  // one 8-bit load
  UnmapRegister(reg, address, fd, kReadFailurePoints);
  return value;
}

extern "C" uint8_t WriteMap(uint32_t address, uint8_t value) {
  int fd = -1;
  volatile uint8_t *reg = MapRegister(address, kWriteFailurePoints, &fd);
  *reg = value;  // one 8-bit store
  UnmapRegister(reg, address, fd, kWriteFailurePoints);
  return 1;
}

// ---- Line operations --------------------------------------------------------

namespace {

using varnik::IsRegisterAddress;
using varnik::LevelFromBit;
using varnik::RegisterByteFor;

bool IsLevel(uint8_t level) { return level <= 1; }

}  // namespace

extern "C" int16_t GPIOWriteToPin(uint8_t output, uint8_t level) {
  // Checked before the lookup: outputs above 7 have no table entry, and in
  // 8 bits output + 8 would wrap back onto an input's register.
  if (output >= kOutputCount) return kPinRejected;
  const uint32_t address = GetGPIOAddress(GPIOs[kFirstOutputIndex + output]);
  if (!IsRegisterAddress(address)) return kPinRejected;
  if (!IsLevel(level)) return kPinRejected;
  const uint8_t written = WriteMap(address, RegisterByteFor(level));
  return written == 1 ? kPinOk : kPinWriteFailed;
}

extern "C" int16_t GPIOReadFromPin(uint8_t index, uint8_t *level) {
  if (index >= kGpioLineCount || level == nullptr) return kPinRejected;
  const uint32_t address = GetGPIOAddress(GPIOs[index]);
  if (!IsRegisterAddress(address)) return kPinRejected;
  const uint8_t bit = index < kInputCount ? varnik::kSensedLevelBit : varnik::kDrivenLevelBit;
  *level = LevelFromBit(ReadMMap(address), bit);
  return kPinOk;
}

extern "C" uint8_t LEDWriteToPin(uint8_t index, uint8_t level) {
  if (index >= kLedCount) return 0;
  const uint32_t address = GetLEDAddress(LEDs[index]);
  if (!IsRegisterAddress(address)) return 0;
  if (!IsLevel(level)) return 0;
  return WriteMap(address, RegisterByteFor(level));
}

extern "C" uint8_t LEDReadFromPin(uint8_t index) {
  if (index >= kLedCount) return 0;
  const uint32_t address = GetLEDAddress(LEDs[index]);
  if (!IsRegisterAddress(address)) return 0;
  return LevelFromBit(ReadMMap(address), varnik::kDrivenLevelBit);
}

// ---- Ports and the LED group ------------------------------------------------

namespace {

// Reads eight consecutive lines of the table into bits 0..7; stops at the
// first line that fails and leaves *mask as it was.
int16_t ReadPort(uint8_t first_index, uint16_t *mask) {
  if (mask == nullptr) return kPinRejected;
  uint8_t accumulated = 0;
  for (uint8_t n = 0; n < 8; ++n) {
    uint8_t level = 0;
    const int16_t status = GPIOReadFromPin(static_cast<uint8_t>(first_index + n), &level);
    if (status != kPinOk) return status;
    accumulated |= static_cast<uint8_t>(level << n);
  }
  *mask = accumulated;
  return kPinOk;
}

}  // namespace

extern "C" int32_t GPIO_Init(void) { return 0; }

extern "C" int16_t GPO_Write(uint16_t mask) {
  int16_t status = kPinOk;
  for (uint8_t n = 0; n < kOutputCount; ++n) {
    status = GPIOWriteToPin(n, static_cast<uint8_t>((mask >> n) & 1u));
  }
  return status;
}

extern "C" int16_t GPI_Read(uint16_t *mask) { return ReadPort(0, mask); }

extern "C" int16_t GPO_Read(uint16_t *mask) {
  return ReadPort(kFirstOutputIndex, mask);
}

extern "C" int32_t QelLEDCount(void) {
  int32_t lit = 0;
  for (uint8_t i = 0; i < kLedCount; ++i) {
    lit |= static_cast<int32_t>(LEDReadFromPin(i)) << i;
  }
  return lit;
}

extern "C" uint8_t QelLEDSetValue(int32_t number, int32_t level) {
  const uint8_t index = static_cast<uint8_t>(static_cast<uint32_t>(number) - 1u);
  return LEDWriteToPin(index, static_cast<uint8_t>(level));
}
