// The lines a gateway (dio-modbusd, dio-mqttd) serves: the board itself,
// or (for a benchmark only) the same three groups held in memory, so that
// the cost of the board can be measured against a server that answers
// without it.
#ifndef VARNIK_TOOLS_LINE_IO_H
#define VARNIK_TOOLS_LINE_IO_H

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "line_holder.h"
#include "varnik_dio_board.h"

namespace varnik::tools {

class LineIo {
 public:
  virtual ~LineIo() = default;
  // Every line: bit n of inputs is DIn, of outputs DOn, bit i of leds LED(i+1).
  virtual vdio_state Read() const = 0;
  virtual uint8_t ReadInputs() const = 0;
  // Change the lines whose bit is set in mask to the level of that bit in
  // values. False when the board service refused it (-EBUSY: one of them
  // is another client's or pulsing); nothing was written then.
  [[nodiscard]] virtual bool WriteOutputs(uint8_t mask, uint8_t values) = 0;
  [[nodiscard]] virtual bool WriteLeds(uint8_t mask, uint8_t values) = 0;
  // Who keeps this handle from writing line (VDIO_DO0..VDIO_LED3): another
  // handle's claim or a pulse; nothing when no one does.
  virtual std::optional<LineHolder> HolderOf(int line) const = 0;
  // vdio_claim on this handle: 0 or a negative errno value.
  virtual int Claim(const struct vdio_claim &claim) = 0;
  // Whether the lines are the board service's, where claims are kept.
  virtual bool ThroughService() const = 0;
  // The figures the board service keeps of every input, stats[n] for DIn,
  // all from one sample: 0, or -EOPNOTSUPP where nobody keeps them (a
  // board opened directly, a service of a version before them).
  virtual int ReadInputStats(vdio_input_stats stats[VDIO_INPUT_COUNT]) const = 0;
  // Clears what (VDIO_CLEAR_*) of input line's figures in the service, for
  // every client: 0 or -EOPNOTSUPP as above.
  virtual int ClearInputStats(int line, uint32_t what) = 0;
  // vdio_watch_new on this handle: 0 with *watch the caller's to free, or a
  // negative errno value (-EOPNOTSUPP for lines in memory).
  virtual int NewWatch(uint32_t lines, uint32_t interval_us, uint32_t debounce_us,
                       vdio_watch **watch) const = 0;
  // vdio_pulse on this handle: 0, -EBUSY (held or pulsing), or another
  // negative errno value; -EOPNOTSUPP for lines in memory.
  virtual int Pulse(int line, uint64_t width_us, uint32_t count, uint64_t period_us) {
    (void)line, (void)width_us, (void)count, (void)period_us;
    return -EOPNOTSUPP;
  }
  // vdio_get_claim on this handle (info->size set here): 1 held, 0 not
  // held, or a negative errno value (-EOPNOTSUPP: nobody keeps claims).
  virtual int GetClaim(int line, vdio_claim_info *info) const {
    (void)line, (void)info;
    return -EOPNOTSUPP;
  }
  // vdio_get_sampler_info (info->size set here): 0, or -EOPNOTSUPP where
  // no service samples the inputs.
  virtual int ReadSamplerInfo(vdio_sampler_info *info) const {
    (void)info;
    return -EOPNOTSUPP;
  }
};

// Opens the board on device; throws varnik::tools::DeviceError naming it.
std::unique_ptr<LineIo> OpenBoardLines(const std::string &device);

// Lines in memory, all inactive: the benchmark's baseline, never a board.
std::unique_ptr<LineIo> MakeMemoryLines();

}  // namespace varnik::tools

#endif
