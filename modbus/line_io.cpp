#include "line_io.h"

#include <utility>

#include "device_errors.h"

namespace dio_modbusd {

namespace {

constexpr uint8_t kAllLeds = 0x07;

// Board calls fail for no argument of the gateway's (WriteLeds masks the
// LEDs' mask), but through the board service they fail once the service is
// lost: the gateway then stops with a device error (status 1, for systemd
// to restart it) rather than answer with levels it could not read.
class BoardLines final : public LineIo {
 public:
  BoardLines(vdio_board *board, std::string device) : board_(board), device_(std::move(device)) {}
  ~BoardLines() override { vdio_close(board_); }
  BoardLines(const BoardLines &) = delete;
  BoardLines &operator=(const BoardLines &) = delete;

  vdio_state Read() const override {
    vdio_state state{};
    Check(vdio_read(board_, &state));
    return state;
  }
  uint8_t ReadInputs() const override {
    uint8_t inputs = 0;
    Check(vdio_read_inputs(board_, &inputs));
    return inputs;
  }
  void WriteOutputs(uint8_t mask, uint8_t values) override {
    Check(vdio_write_outputs(board_, mask, values));
  }
  void WriteLeds(uint8_t mask, uint8_t values) override {
    Check(vdio_write_leds(board_, mask & kAllLeds, values));
  }

 private:
  void Check(int result) const {
    if (result < 0) throw varnik::tools::DeviceError(device_, -result);
  }

  vdio_board *board_;
  std::string device_;
};

class MemoryLines final : public LineIo {
 public:
  vdio_state Read() const override { return state_; }
  uint8_t ReadInputs() const override { return state_.inputs; }
  void WriteOutputs(uint8_t mask, uint8_t values) override {
    state_.outputs = static_cast<uint8_t>((state_.outputs & ~mask) | (values & mask));
  }
  void WriteLeds(uint8_t mask, uint8_t values) override {
    mask &= kAllLeds;
    state_.leds = static_cast<uint8_t>((state_.leds & ~mask) | (values & mask));
  }

 private:
  vdio_state state_{};
};

}  // namespace

std::unique_ptr<LineIo> OpenBoardLines(const std::string &device) {
  vdio_board *board = nullptr;
  const int result = vdio_open(device.c_str(), &board);
  if (result < 0) throw varnik::tools::DeviceError(device, -result);
  return std::make_unique<BoardLines>(board, device);
}

std::unique_ptr<LineIo> MakeMemoryLines() { return std::make_unique<MemoryLines>(); }

}  // namespace dio_modbusd
