// What the board service's sampler catches and costs (bench/run-input-bench
// starts the service and runs this): the tests' signal generator pulses DI0
// of the board file at a given rate while the service samples it; then the
// pulses it missed (sent minus the service's rising count), its CPU time
// over the run (utime + stime of /proc/PID/stat, as a share of one core),
// and the sampler's late samples and worst lateness (vdio_get_sampler_info).
// Reports; asserts nothing.
//
//   input_bench BOARD_FILE SOCKET SERVICE_PID PULSES [HZ]
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "signal_generator.h"
#include "varnik_dio_board.h"

namespace {

constexpr double kDuty = 0.5;
// The generator stands for the world outside the board, which is never
// late: above the sampler's SCHED_FIFO priority (20), where the machine
// allows it, so that its own lateness does not pass for the service's.
constexpr int kGeneratorPriority = 30;

[[noreturn]] void Fail(const std::string &what) {
  std::fprintf(stderr, "input_bench: %s\n", what.c_str());
  std::exit(1);
}

// User and system time so far, in clock ticks, of the process (stat_path
// /proc/PID/stat) or of one of its threads (/proc/PID/task/TID/stat).
uint64_t CpuTicks(const std::string &stat_path) {
  std::ifstream in(stat_path);
  std::string line;
  if (!std::getline(in, line)) Fail("cannot read " + stat_path);
  // The fields after the command's closing parenthesis: state is field 3,
  // utime 14 and stime 15.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  uint64_t utime = 0;
  uint64_t stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return utime + stime;
}

// Threads started from now on inherit it. True if the machine allowed it.
bool RunRealtime() {
  sched_param param{};
  param.sched_priority = kGeneratorPriority;
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

vdio_sampler_info SamplerInfo(vdio_board *board) {
  vdio_sampler_info info{};
  info.size = sizeof info;
  const int got = vdio_get_sampler_info(board, &info);
  if (got != 0) Fail(std::string("cannot read the sampler's state: ") + std::strerror(-got));
  return info;
}

uint64_t RisingCount(vdio_board *board) {
  vdio_input_stats stats{};
  stats.size = sizeof stats;
  const int got = vdio_read_input_stats(board, VDIO_DI0, &stats);
  if (got != 0) Fail(std::string("cannot read DI0's figures: ") + std::strerror(-got));
  return stats.rising;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 5 || argc > 6) Fail("usage: input_bench BOARD_FILE SOCKET SERVICE_PID PULSES [HZ]");
  const std::string board_file = argv[1];
  const std::string pid = argv[3];
  const uint64_t pulses = std::strtoull(argv[4], nullptr, 10);
  const double hz = argc == 6 ? std::strtod(argv[5], nullptr) : 250.0;
  if (pulses == 0 || !(hz > 0)) Fail("PULSES and HZ must be positive");

  vdio_board *board = nullptr;
  const int opened = vdio_open(argv[2], &board);
  if (opened != 0) Fail(std::string("cannot open ") + argv[2] + ": " + std::strerror(-opened));
  const vdio_sampler_info before = SamplerInfo(board);
  const uint64_t counted_before = RisingCount(board);
  // The main thread is the server's loop; the others the sampler and the
  // state saver.
  const std::string process_stat = "/proc/" + pid + "/stat";
  const std::string main_thread_stat = "/proc/" + pid + "/task/" + pid + "/stat";
  const uint64_t ticks_before = CpuTicks(process_stat);
  const uint64_t main_ticks_before = CpuTicks(main_thread_stat);
  const auto start = std::chrono::steady_clock::now();

  const bool generator_realtime = RunRealtime();
  const auto shape = varnik::test::PulsesAt(hz, kDuty, pulses);
  varnik::test::SignalGenerator generator(board_file, 0, shape);
  const varnik::test::GeneratorReport report = generator.Wait();
  if (!report.error.empty()) Fail(report.error);
  // The last fall is seen at the next sample or two.
  std::this_thread::sleep_for(std::chrono::nanoseconds(3 * before.interval_ns));

  const uint64_t ticks = CpuTicks(process_stat) - ticks_before;
  const uint64_t main_ticks = CpuTicks(main_thread_stat) - main_ticks_before;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t counted = RisingCount(board) - counted_before;
  const vdio_sampler_info after = SamplerInfo(board);
  vdio_close(board);

  const double tick_seconds = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  const double cpu_seconds = static_cast<double>(ticks) * tick_seconds;
  const double main_seconds = static_cast<double>(main_ticks) * tick_seconds;
  const int64_t missed = static_cast<int64_t>(pulses) - static_cast<int64_t>(counted);
  std::printf("sampler        --interval %.3f ms, %s\n",
              static_cast<double>(after.interval_ns) / 1e6,
              (after.flags & VDIO_SAMPLER_REALTIME) != 0 ? "SCHED_FIFO" : "not real-time");
  std::printf("pulses         %" PRIu64 " at %.1f Hz (%.3f ms high), %.1f s\n", pulses, hz,
              static_cast<double>(shape.high_ns) / 1e6, seconds);
  std::printf("counted        %" PRIu64 ", missed %" PRId64 " (%.4f%%)\n", counted, missed,
              100.0 * static_cast<double>(missed) / static_cast<double>(pulses));
  std::printf("generator      %s, worst edge %.3f ms late, %" PRIu64
              " edges late by half a pulse\n",
              generator_realtime ? "SCHED_FIFO" : "not real-time (refused)",
              static_cast<double>(report.worst_late_ns) / 1e6, report.late_edges);
  std::printf("service CPU    %.2f s in %.1f s: %.2f%% of one core (server loop %.2f%%, "
              "sampler and saver %.2f%%)\n",
              cpu_seconds, seconds, 100.0 * cpu_seconds / seconds, 100.0 * main_seconds / seconds,
              100.0 * (cpu_seconds - main_seconds) / seconds);
  std::printf("samples        %" PRIu64 ", late %" PRIu64 ", worst lateness since start %.3f ms\n",
              after.samples - before.samples, after.late_samples - before.late_samples,
              static_cast<double>(after.worst_late_ns) / 1e6);
  return 0;
}
