#include "line_io.h"

#include <cerrno>
#include <utility>

#include "device_errors.h"

namespace varnik::tools {

namespace {

constexpr uint8_t kAllLeds = 0x07;

// Board calls fail for no argument of the gateway's (WriteLeds masks the
// LEDs' mask), but through the board service they fail once the service is
// lost: the gateway then stops with a device error (status 1, for systemd
// to restart it) rather than answer with levels it could not read, or when
// another client holds a line (-EBUSY), which the caller answers.
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
  bool WriteOutputs(uint8_t mask, uint8_t values) override {
    return CheckWrite(vdio_write_outputs(board_, mask, values));
  }
  bool WriteLeds(uint8_t mask, uint8_t values) override {
    return CheckWrite(vdio_write_leds(board_, mask & kAllLeds, values));
  }
  std::optional<LineHolder> HolderOf(int line) const override {
    vdio_claim_info info{};
    info.size = sizeof info;
    const int held = vdio_get_claim(board_, line, &info);
    if (held == -EOPNOTSUPP) return std::nullopt;  // a board opened directly: no claims
    Check(held);
    const bool mine = (info.flags & VDIO_CLAIM_INFO_MINE) != 0;
    const bool pulsing = (info.flags & VDIO_CLAIM_INFO_PULSING) != 0;
    if (held == 1 && !mine) return LineHolder{line, false, info.pid, info.consumer};
    if (pulsing) return LineHolder{line, true, 0, ""};
    return std::nullopt;
  }
  int Claim(const struct vdio_claim &claim) override { return vdio_claim(board_, &claim); }
  bool ThroughService() const override {
    return vdio_device_kind(board_) == VDIO_DEVICE_SERVICE;
  }
  int ReadInputStats(vdio_input_stats stats[VDIO_INPUT_COUNT]) const override {
    for (size_t n = 0; n < VDIO_INPUT_COUNT; ++n) stats[n].size = sizeof(vdio_input_stats);
    return CheckKept(vdio_read_all_input_stats(board_, stats));
  }
  int ClearInputStats(int line, uint32_t what) override {
    return CheckKept(vdio_clear_input_stats(board_, line, what));
  }
  int NewWatch(uint32_t lines, uint32_t interval_us, uint32_t debounce_us,
               vdio_watch **watch) const override {
    return vdio_watch_new(board_, lines, interval_us, debounce_us, watch);
  }
  int Pulse(int line, uint64_t width_us, uint32_t count, uint64_t period_us) override {
    return vdio_pulse(board_, line, width_us, count, period_us);
  }
  int GetClaim(int line, vdio_claim_info *info) const override {
    info->size = sizeof *info;
    return vdio_get_claim(board_, line, info);
  }
  int ReadSamplerInfo(vdio_sampler_info *info) const override {
    info->size = sizeof *info;
    return vdio_get_sampler_info(board_, info);
  }

 private:
  void Check(int result) const {
    if (result < 0) throw DeviceError(device_, -result);
  }
  // -EOPNOTSUPP: nobody keeps the inputs' figures, for the caller to answer.
  int CheckKept(int result) const {
    if (result != -EOPNOTSUPP) Check(result);
    return result;
  }
  // -EBUSY is another client's claim, for the caller to answer; any other
  // failure is the board's.
  bool CheckWrite(int result) const {
    if (result == -EBUSY) return false;
    Check(result);
    return true;
  }

  vdio_board *board_;
  std::string device_;
};

class MemoryLines final : public LineIo {
 public:
  vdio_state Read() const override { return state_; }
  uint8_t ReadInputs() const override { return state_.inputs; }
  bool WriteOutputs(uint8_t mask, uint8_t values) override {
    state_.outputs = static_cast<uint8_t>((state_.outputs & ~mask) | (values & mask));
    return true;
  }
  bool WriteLeds(uint8_t mask, uint8_t values) override {
    mask &= kAllLeds;
    state_.leds = static_cast<uint8_t>((state_.leds & ~mask) | (values & mask));
    return true;
  }
  std::optional<LineHolder> HolderOf(int) const override { return std::nullopt; }
  int Claim(const struct vdio_claim &) override { return -EOPNOTSUPP; }
  bool ThroughService() const override { return false; }
  int ReadInputStats(vdio_input_stats *) const override { return -EOPNOTSUPP; }
  int ClearInputStats(int, uint32_t) override { return -EOPNOTSUPP; }
  int NewWatch(uint32_t, uint32_t, uint32_t, vdio_watch **) const override { return -EOPNOTSUPP; }

 private:
  vdio_state state_{};
};

}  // namespace

std::unique_ptr<LineIo> OpenBoardLines(const std::string &device) {
  vdio_board *board = nullptr;
  const int result = vdio_open(device.c_str(), &board);
  if (result < 0) throw DeviceError(device, -result);
  return std::make_unique<BoardLines>(board, device);
}

std::unique_ptr<LineIo> MakeMemoryLines() { return std::make_unique<MemoryLines>(); }

}  // namespace varnik::tools
