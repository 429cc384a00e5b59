// Internal to the project's tools; not a stable interface.
//
// A device that could not be used: the error a tool throws for it, and the
// one-line message that names the device and the error, with a hint on
// what to do where one helps.
#ifndef VARNIK_TOOLS_DEVICE_ERRORS_H
#define VARNIK_TOOLS_DEVICE_ERRORS_H

#include <stdexcept>
#include <string>

namespace varnik::tools {

class DeviceError : public std::runtime_error {
 public:
  // error is a positive errno value.
  DeviceError(const std::string &device, int error);
  const std::string &device() const { return device_; }
  int error() const { return error_; }

 private:
  std::string device_;
  int error_;
};

// What to do about errno error on device, or "" where there is no advice.
// The physical memory device and a board file get different advice.
std::string DeviceErrorHint(const std::string &device, int error);

// "DEVICE: strerror (hint)".
std::string DeviceErrorMessage(const std::string &device, int error);

// Prints the error's message and returns kExitDeviceError.
int ReportDeviceError(const DeviceError &error);

}  // namespace varnik::tools

#endif
