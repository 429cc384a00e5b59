#include "device_errors.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "board_file.h"
#include "tool_messages.h"

namespace varnik::tools {

namespace {

// The physical memory device by its usual name or any other; anything
// else a tool is given is meant as a board file.
bool IsMemoryDevice(const std::string &device) {
  struct stat st;
  return device == "/dev/mem" || (stat(device.c_str(), &st) == 0 && varnik::IsMemoryDevice(st));
}

std::string MemoryDeviceHint(int error) {
  switch (error) {
    case EACCES:
      return "the memory device needs root or CAP_SYS_RAWIO";
    case EPERM:
      return "the kernel checks /dev/mem strictly and a kernel driver holds the registers; "
             "see /proc/iomem";
    case ENOENT:
      return "name the device or board file with --device PATH";
    default:
      return "";
  }
}

std::string BoardFileHint(const std::string &device, int error) {
  switch (error) {
    case EACCES:
      return "a board file needs read and write permission for this user";
    case ENOENT:
      return "dio-sim --board " + device + " new makes a board file there";
    case ENOSPC:
    case EDQUOT:
      return "the board file's register pages are holes that its file system has no room "
             "for: free some space there, or make a board elsewhere (dio-sim --board FILE new)";
    default:
      return "";
  }
}

}  // namespace

DeviceError::DeviceError(const std::string &device, int error)
    : std::runtime_error(DeviceErrorMessage(device, error)), device_(device), error_(error) {}

std::string DeviceErrorHint(const std::string &device, int error) {
  if (error == EINVAL) return "neither the memory device nor a board file of exactly 4 GiB";
  return IsMemoryDevice(device) ? MemoryDeviceHint(error) : BoardFileHint(device, error);
}

std::string DeviceErrorMessage(const std::string &device, int error) {
  std::string message = device + ": " + std::strerror(error);
  const std::string hint = DeviceErrorHint(device, error);
  if (!hint.empty()) message += " (" + hint + ")";
  return message;
}

int ReportDeviceError(const DeviceError &error) {
  PrintError(error.what());
  return kExitDeviceError;
}

}  // namespace varnik::tools
