// The board the service holds: opened on the device named and nothing
// else, for the service's whole life.
#ifndef DIO_BOARDD_HELD_BOARD_H
#define DIO_BOARDD_HELD_BOARD_H

#include <cstdint>
#include <string>

#include "varnik_dio_board.h"

namespace dio_boardd {

class HeldBoard {
 public:
  // Throws StartError for a socket (the service never goes through one, its
  // own or another service's) and DeviceError when the board API cannot
  // open the device.
  explicit HeldBoard(const std::string &device);
  ~HeldBoard();
  HeldBoard(const HeldBoard &) = delete;
  HeldBoard &operator=(const HeldBoard &) = delete;

  vdio_board *get() const { return board_; }
  // enum vdio_device_kind: the memory device or a board file.
  uint32_t kind() const { return static_cast<uint32_t>(vdio_device_kind(board_)); }

 private:
  vdio_board *board_ = nullptr;
};

}  // namespace dio_boardd

#endif
