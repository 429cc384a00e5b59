// The inputs' sampler: a thread of its own that reads the eight inputs every
// interval, on due times of the monotonic clock, and feeds the input
// functions under a lock that the server's requests and the state saver
// take only to copy or clear figures. It counts the samples taken an
// interval or more after they were due (a pulse shorter than the gap could
// then be missed) and skips ahead after one rather than sampling in a
// burst. The server's own sampling for watchers stays on the server's loop.
#ifndef DIO_BOARDD_INPUT_SAMPLER_H
#define DIO_BOARDD_INPUT_SAMPLER_H

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "input_functions.h"
#include "quiet_thread.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

// Every input's figures from one sample, and that sample's time.
struct InputSnapshot {
  std::array<varnik::wire::InputFigures, kInputs> figures{};
  uint64_t sample_ns = 0;
};

struct SamplerHealth {
  uint32_t flags = 0;  // VDIO_SAMPLER_*
  uint64_t samples = 0;
  uint64_t late_samples = 0;
  uint64_t worst_late_ns = 0;
};

class InputSampler {
 public:
  // Reads the inputs once as the starting point; kept: figures of an
  // earlier run to carry on from.
  InputSampler(vdio_board *board, const InputSettings &settings,
               const std::optional<KeptInputs> &kept);
  ~InputSampler();
  InputSampler(const InputSampler &) = delete;
  InputSampler &operator=(const InputSampler &) = delete;

  // Starts the thread; with realtime, asks SCHED_FIFO for it. Nothing, or
  // the log line saying why the sampler runs without it.
  std::optional<std::string> Start(bool realtime);
  // Ends the thread within a slice of its sleep; the figures stay readable.
  void Stop();

  InputSnapshot Snapshot() const;
  KeptInputs Kept() const;
  // what: VDIO_CLEAR_* flags, checked by the caller.
  void Clear(int input, uint32_t what);

  SamplerHealth Health() const;
  // The worst lateness since the last call, for the log.
  uint64_t TakeRecentWorstLateNs();

  const InputSettings &settings() const { return settings_; }

 private:
  void Run();
  // Sleeps until due, in slices, waking early on Stop: false when stopped.
  bool SleepUntil(uint64_t due) const;
  void TakeSample(uint64_t due);

  vdio_board *board_;
  InputSettings settings_;
  mutable std::mutex lock_;  // guards functions_ and the counts below
  InputFunctions functions_;
  uint64_t samples_ = 0;
  uint64_t late_samples_ = 0;
  uint64_t worst_late_ns_ = 0;
  uint64_t recent_worst_late_ns_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> realtime_{false};
  varnik::tools::QuietThread thread_;
};

}  // namespace dio_boardd

#endif
