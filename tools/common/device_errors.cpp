#include "device_errors.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "board_file.h"
#include "default_device.h"
#include "tool_messages.h"
#include "varnik_dio_board.h"

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

std::string ServiceSocketHint(int error) {
  switch (error) {
    case EACCES:
      return "the board service's socket is for the members of its group (dio): ask to be "
             "added, then log in again";
    case ECONNREFUSED:
    case ENOENT:
      return "the board service is not running: start it (systemctl start dio-boardd)";
    case ECONNRESET:
    case ENOTCONN:
      return "the board service went away: see its log (journalctl -u dio-boardd)";
    case EUSERS:
      return "the board service serves as many programs as it may (dio-boardd --max-clients)";
    case EPROTO:
      return "the board service speaks another protocol version: install the same version of "
             "the service and the library";
    case ENAMETOOLONG:
      return "a socket's path can be at most 107 bytes long";
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
  if (IsServiceSocket(device)) return ServiceSocketHint(error);
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
