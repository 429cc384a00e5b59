// The board, open for as long as a verb runs.
#ifndef DIOCTL_BOARD_HANDLE_H
#define DIOCTL_BOARD_HANDLE_H

#include <stdexcept>
#include <string>

#include "varnik_dio_board.h"

namespace dioctl {

// A board call that failed after the open: through the board service, any
// call can (the service went away). main reports it as a device error.
class BoardCallError : public std::runtime_error {
 public:
  explicit BoardCallError(int error);  // a positive errno value
  int error() const { return error_; }

 private:
  int error_;
};

// result, or BoardCallError when it is a negative errno value.
int Checked(int result);

class BoardHandle {
 public:
  // Opens device; throws varnik::tools::DeviceError naming it on failure.
  explicit BoardHandle(const std::string &device);
  ~BoardHandle() { vdio_close(board_); }
  BoardHandle(const BoardHandle &) = delete;
  BoardHandle &operator=(const BoardHandle &) = delete;

  vdio_board *get() const { return board_; }
  const std::string &device() const { return device_; }

 private:
  std::string device_;
  vdio_board *board_ = nullptr;
};

}  // namespace dioctl

#endif
