#include "board_handle.h"

#include <cstring>

#include "device_errors.h"

namespace dioctl {

BoardCallError::BoardCallError(int error)
    : std::runtime_error(std::strerror(error)), error_(error) {}

int Checked(int result) {
  if (result < 0) throw BoardCallError(-result);
  return result;
}

BoardHandle::BoardHandle(const std::string &device) : device_(device) {
  const int result = vdio_open(device.c_str(), &board_);
  if (result < 0) throw varnik::tools::DeviceError(device, -result);
}

}  // namespace dioctl
