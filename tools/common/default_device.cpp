#include "default_device.h"

#include <stdlib.h>
#include <sys/stat.h>

#include "varnik_dio_board.h"

namespace varnik::tools {

std::string DefaultDevice() {
  const char *named = secure_getenv(VDIO_DEVICE_VARIABLE);
  if (named != nullptr && named[0] != '\0') return named;
  struct stat status;
  if (lstat(VDIO_SERVICE_SOCKET, &status) == 0 && S_ISSOCK(status.st_mode))
    return VDIO_SERVICE_SOCKET;
  return "/dev/mem";
}

bool IsServiceSocket(const std::string &device) {
  struct stat st;
  return device == VDIO_SERVICE_SOCKET || (stat(device.c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
}

}  // namespace varnik::tools
