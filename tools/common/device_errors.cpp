#include "device_errors.h"

#include <cerrno>
#include <cstring>

#include "tool_messages.h"

namespace varnik::tools {

DeviceError::DeviceError(const std::string &device, int error)
    : std::runtime_error(DeviceErrorMessage(device, error)), device_(device), error_(error) {}

std::string DeviceErrorHint(int error) {
  switch (error) {
    case EACCES:
      return "the memory device needs root or CAP_SYS_RAWIO";
    case EPERM:
      return "the kernel checks /dev/mem strictly and a kernel driver holds the registers; "
             "see /proc/iomem";
    case ENOENT:
      return "name the device or board file with --device PATH";
    case EINVAL:
      return "neither the memory device nor a board file of exactly 4 GiB";
    default:
      return "";
  }
}

std::string DeviceErrorMessage(const std::string &device, int error) {
  std::string message = device + ": " + std::strerror(error);
  const std::string hint = DeviceErrorHint(error);
  if (!hint.empty()) message += " (" + hint + ")";
  return message;
}

int ReportDeviceError(const DeviceError &error) {
  PrintError(error.what());
  return kExitDeviceError;
}

}  // namespace varnik::tools
