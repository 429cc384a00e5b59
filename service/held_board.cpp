#include "held_board.h"

#include <sys/stat.h>

#include "device_errors.h"
#include "start_error.h"

namespace dio_boardd {

HeldBoard::HeldBoard(const std::string &device) {
  struct stat status {};
  if (stat(device.c_str(), &status) == 0 && S_ISSOCK(status.st_mode))
    throw StartError("--device " + device + " is a socket, a service's and not a board; name "
                     "the memory device or a board file");
  const int opened = vdio_open(device.c_str(), &board_);
  if (opened < 0) throw varnik::tools::DeviceError(device, -opened);
}

HeldBoard::~HeldBoard() { vdio_close(board_); }

}  // namespace dio_boardd
