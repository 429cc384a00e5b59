#include "input_sampler.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "clock.h"

namespace dio_boardd {

namespace {

constexpr uint64_t kNsPerS = 1'000'000'000;
// The longest sleep between two looks at the stop flag: a stop never waits
// for a long interval to end. Signals are not used to wake the thread: under
// an emulator they can deadlock it.
constexpr uint64_t kSleepSliceNs = 50'000'000;
// Above the kernel's threads and below the usual real-time work (audio,
// interrupt threads run at 50): the sampler wants promptness, not the
// machine. The unit's LimitRTPRIO= must allow it.
constexpr int kRealtimePriority = 20;

uint8_t ReadInputs(vdio_board *board) {
  uint8_t inputs = 0;
  vdio_read_inputs(board, &inputs);
  return inputs;
}

timespec AsTimespec(uint64_t ns) {
  return timespec{static_cast<time_t>(ns / kNsPerS), static_cast<long>(ns % kNsPerS)};
}

std::string RealtimeRefused(int error) {
  return std::string("--realtime: SCHED_FIFO priority ") + std::to_string(kRealtimePriority) +
         " refused (" + std::strerror(error) +
         "): the sampler runs without it; allow it with LimitRTPRIO=" +
         std::to_string(kRealtimePriority) +
         " (or CAP_SYS_NICE), RestrictRealtime=no and sched_setscheduler in the system-call "
         "filter (the commented lines of dio-boardd.service)";
}

}  // namespace

InputSampler::InputSampler(vdio_board *board, const InputSettings &settings,
                           const std::optional<KeptInputs> &kept)
    : board_(board), settings_(settings), functions_(settings, ReadInputs(board), MonotonicNs()) {
  if (kept) functions_.Restore(*kept);
}

InputSampler::~InputSampler() { Stop(); }

std::optional<std::string> InputSampler::Start(bool realtime) {
  thread_.Start([this] { Run(); });
  if (!realtime) return std::nullopt;
  sched_param param{};
  param.sched_priority = kRealtimePriority;
  const int error = pthread_setschedparam(thread_.handle(), SCHED_FIFO, &param);
  if (error != 0) return RealtimeRefused(error);
  realtime_ = true;
  return std::nullopt;
}

void InputSampler::Stop() {
  stopping_ = true;
  thread_.Wait();
}

void InputSampler::Run() {
  uint64_t due = MonotonicNs() + settings_.interval_ns;
  while (SleepUntil(due)) {
    TakeSample(due);
    due += settings_.interval_ns;
    const uint64_t now = MonotonicNs();
    // Late: the samples missed are missed, the next one is due on the grid
    // after now rather than at once.
    if (due <= now) due += ((now - due) / settings_.interval_ns + 1) * settings_.interval_ns;
  }
}

bool InputSampler::SleepUntil(uint64_t due) const {
  for (;;) {
    if (stopping_) return false;
    const uint64_t now = MonotonicNs();
    if (now >= due) return true;
    const timespec until = AsTimespec(std::min(due, now + kSleepSliceNs));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
}

void InputSampler::TakeSample(uint64_t due) {
  const uint8_t inputs = ReadInputs(board_);
  const uint64_t now = MonotonicNs();
  const std::lock_guard<std::mutex> guard(lock_);
  functions_.Observe(inputs, now);
  ++samples_;
  if (now - due < settings_.interval_ns) return;
  ++late_samples_;
  worst_late_ns_ = std::max(worst_late_ns_, now - due);
  recent_worst_late_ns_ = std::max(recent_worst_late_ns_, now - due);
}

InputSnapshot InputSampler::Snapshot() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return InputSnapshot{functions_.Figures(), functions_.last_sample_ns()};
}

KeptInputs InputSampler::Kept() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return functions_.Kept();
}

void InputSampler::Clear(int input, uint32_t what) {
  const std::lock_guard<std::mutex> guard(lock_);
  functions_.Clear(input, what);
}

SamplerHealth InputSampler::Health() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return SamplerHealth{realtime_ ? VDIO_SAMPLER_REALTIME : 0u, samples_, late_samples_,
                       worst_late_ns_};
}

uint64_t InputSampler::TakeRecentWorstLateNs() {
  const std::lock_guard<std::mutex> guard(lock_);
  return std::exchange(recent_worst_late_ns_, 0);
}

}  // namespace dio_boardd
