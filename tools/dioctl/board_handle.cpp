#include "board_handle.h"

#include "device_errors.h"

namespace dioctl {

BoardHandle::BoardHandle(const std::string &device) : device_(device) {
  const int result = vdio_open(device.c_str(), &board_);
  if (result < 0) throw varnik::tools::DeviceError(device, -result);
}

}  // namespace dioctl
