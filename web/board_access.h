// The board as dio-webd's request threads share it: one board handle
// behind a lock, opened anew after the board service was lost (the event
// pump asks for that, every second, until the service is back).
#ifndef DIO_WEBD_BOARD_ACCESS_H
#define DIO_WEBD_BOARD_ACCESS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "board_snapshot.h"
#include "line_holder.h"
#include "line_io.h"

namespace dio_webd {

enum class WriteStatus {
  kDone,     // written (or the pulse begun)
  kHeld,     // refused: another client's claim, or a pulse, holds the line (holder says which)
  kLost,     // the board is out of reach (message says why)
  kRefused,  // the board refused the arguments (message says why): a caller's fault
};

struct WriteOutcome {
  WriteStatus status = WriteStatus::kDone;
  std::optional<varnik::tools::LineHolder> holder;  // with kHeld, when still held at the asking
  std::string message;
};

// "the board service at SOCKET is out of reach: strerror(error); dio-webd
// connects again every second" ("the board at PATH" for a device).
std::string LostReason(const std::string &device, int error);

class BoardAccess {
 public:
  using Opener = std::function<std::unique_ptr<varnik::tools::LineIo>(const std::string &)>;

  // Opens nothing yet. opener is varnik::tools::OpenBoardLines but in tests.
  explicit BoardAccess(std::string device, Opener opener = varnik::tools::OpenBoardLines);

  // Opens the board; throws varnik::tools::DeviceError naming the device
  // when it cannot (at start, where that ends the program).
  void OpenOrThrow();

  // Opens the board when it is not open: true when it is open afterwards.
  // A failure is kept as the lost reason.
  bool Reopen();

  // Closes the handle after a failure seen elsewhere (the event pump's
  // watcher); reason is what the page's banner and the API say. Only the
  // pump calls this and Reopen, with its watcher freed: they close handles.
  void MarkLost(const std::string &reason);

  bool Connected() const;
  const std::string &device() const { return device_; }

  // Every line, the claims on the outputs and LEDs, the figures, the
  // sampler; connected false (and nothing else filled) when out of reach.
  BoardSnapshot Snapshot();

  // line is VDIO_DO0..VDIO_LED3, level 0 or 1.
  WriteOutcome Write(int line, int level);
  // One pulse of width_us on line (VDIO_DO0..VDIO_LED3).
  WriteOutcome Pulse(int line, uint64_t width_us);

  // vdio_watch_new on every line, for the event pump: 0, or a negative
  // errno value (-ENOTCONN when out of reach).
  int NewWatch(uint32_t interval_us, vdio_watch **watch);

 private:
  // Runs call on the open handle under the lock; a DeviceError makes the
  // board lost (the handle retired until the pump closes it). False, with
  // *lost_reason, when the board is or became lost.
  template <typename Call>
  bool WithLines(Call &&call, std::string *lost_reason);

  std::string device_;
  Opener opener_;
  mutable std::mutex mutex_;
  std::unique_ptr<varnik::tools::LineIo> lines_;
  // A handle that failed in a request thread: closed by the pump's next
  // MarkLost or Reopen, once its watcher is freed.
  std::unique_ptr<varnik::tools::LineIo> retired_;
  std::string lost_reason_;
};

}  // namespace dio_webd

#endif
