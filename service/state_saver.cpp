#include "state_saver.h"

#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <variant>

#include "clock.h"
#include "input_state_file.h"
#include "tool_messages.h"

namespace dio_boardd {

namespace {

void Log(const std::string &line) { varnik::tools::PrintLine(line); }

// "2026-12-10 12:40:01 UTC", the file's last change; "at an unknown time".
std::string SavedAt(const std::string &path) {
  struct stat status {};
  tm utc{};
  char text[40];
  if (stat(path.c_str(), &status) != 0 || gmtime_r(&status.st_mtime, &utc) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0)
    return "at an unknown time";
  return text;
}

}  // namespace

StateSaver::StateSaver(const InputSampler &sampler, const std::string &path,
                       const std::string &device, uint64_t every_ns)
    : sampler_(sampler), path_(path), device_(device), every_ns_(every_ns) {}

StateSaver::~StateSaver() { EndThread(); }

void StateSaver::Start() { thread_.Start([this] { Run(); }); }

void StateSaver::StopAndSave() {
  EndThread();
  Save(true);
}

void StateSaver::EndThread() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.Wait();
}

void StateSaver::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  const std::chrono::nanoseconds every(every_ns_);
  while (!wake_.wait_for(guard, every, [this] { return stopping_; })) {
    guard.unlock();
    Save(false);
    guard.lock();
  }
}

void StateSaver::Save(bool last) {
  bool replaced = false;
  const auto failed = SaveInputState(path_, device_, sampler_.Kept(), &replaced);
  const uint64_t now = MonotonicNs();
  if (!failed) {
    if (failure_logged_at_) Log("input figures saved to " + path_ + " again");
    failure_logged_at_.reset();
    failures_unlogged_ = 0;
    return;
  }
  // The stop's save is the last chance: its failure is always told.
  if (!last && failure_logged_at_ && now - *failure_logged_at_ < kQuietNs) {
    ++failures_unlogged_;
    return;
  }
  std::string line = *failed;
  if (failures_unlogged_ > 0)
    line += " (" + std::to_string(failures_unlogged_) + " more failed saves since the last line)";
  if (!last)
    line += "; serving on, and trying again every --state-interval";
  else if (replaced)
    line += "; a power cut before the disk catches up may bring back the figures of the last save";
  else
    line += "; the counts since the last save are lost";
  Log(line);
  failure_logged_at_ = now;
  failures_unlogged_ = 0;
}

std::optional<KeptInputs> RestoreInputState(const std::string &path, const std::string &device) {
  bool unusable = false;
  auto loaded = LoadInputState(path, device, &unusable);
  if (const auto *why = std::get_if<std::string>(&loaded)) {
    Log("input figures start from zero: " + *why + (unusable ? "; " + SetAsideInputState(path) : ""));
    return std::nullopt;
  }
  Log("input figures restored from " + path + " (saved " + SavedAt(path) + ")");
  return std::get<KeptInputs>(loaded);
}

}  // namespace dio_boardd
