// Saving the inputs' figures to the state file: every --state-interval from
// a thread of its own (an fsync can take long on an SD card, and neither the
// server's loop nor the sampler may wait for it; the sampler's lock is held
// only to copy the figures), and once more at the stop. A failing save is
// logged at most once a minute while it keeps failing, and the service
// goes on.
#ifndef DIO_BOARDD_STATE_SAVER_H
#define DIO_BOARDD_STATE_SAVER_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "input_sampler.h"
#include "quiet_thread.h"

namespace dio_boardd {

class StateSaver {
 public:
  static constexpr uint64_t kQuietNs = 60'000'000'000u;  // between two failure lines

  StateSaver(const InputSampler &sampler, const std::string &path, const std::string &device,
             uint64_t every_ns);
  // Ends the thread without a last save.
  ~StateSaver();
  StateSaver(const StateSaver &) = delete;
  StateSaver &operator=(const StateSaver &) = delete;

  void Start();
  // Ends the thread, then saves the figures as they are now: call it once
  // the sampler stopped, so that the last figures are whole.
  void StopAndSave();

 private:
  void Run();
  void EndThread();
  void Save(bool last);

  const InputSampler &sampler_;
  std::string path_;
  std::string device_;
  uint64_t every_ns_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  varnik::tools::QuietThread thread_;
  // While saves fail: when that was last logged, and failures since.
  std::optional<uint64_t> failure_logged_at_;
  uint64_t failures_unlogged_ = 0;
};

// Reads the state file at the start: the figures to carry on from, or
// nothing; either way one log line, and never a failure to start.
std::optional<KeptInputs> RestoreInputState(const std::string &path, const std::string &device);

}  // namespace dio_boardd

#endif
