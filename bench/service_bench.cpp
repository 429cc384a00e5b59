// What the board service costs its clients, measured with the board API
// alone (bench/run-service-bench starts the service and runs this):
//   round trip  vdio_get and vdio_read through the service's socket with 1
//               and 16 clients at once (p50, p99), beside the same calls on
//               the board file mapped directly;
//   events      from an input register written in the board file to a
//               watcher's vdio_watch_next through the service (median, p99);
//   loop        the floor for the service's idle CPU: a bare loop reading
//               every line of the board file once per interval, and the
//               CPU time it used.
// Reports; asserts nothing.
//
//   service_bench rtt BOARD_FILE SOCKET [SECONDS]
//   service_bench events BOARD_FILE SOCKET COUNT
//   service_bench loop BOARD_FILE INTERVAL_US SECONDS
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "varnik_dio_board.h"

namespace {

// DI0's register in the board file, written out so that the writer owes
// nothing to the library under test. Active low: 0 is level 1.
constexpr off_t kGpioPage = 0xFDAE0000;
constexpr size_t kDi0Offset = 0x6A8;
constexpr uint8_t kSensedBit = 0x02;

uint64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

double Percentile(std::vector<uint64_t> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t at = std::min(samples.size() - 1, static_cast<size_t>(fraction * samples.size()));
  return static_cast<double>(samples[at]);
}

vdio_board *Open(const char *device) {
  vdio_board *board = nullptr;
  const int opened = vdio_open(device, &board);
  if (opened != 0) {
    std::fprintf(stderr, "service_bench: cannot open %s: %s\n", device, std::strerror(-opened));
    std::exit(1);
  }
  return board;
}

enum class Call { kGet, kRead };

// Each client its own board (its own connection), calling for seconds,
// back to back (pace_us 0: the service never idle, each call queued behind
// the other clients') or one call every pace_us; every call's time, all
// clients together.
std::vector<uint64_t> RoundTrips(const char *device, Call call, int clients, double seconds,
                                 uint64_t pace_us) {
  std::vector<std::vector<uint64_t>> times(static_cast<size_t>(clients));
  std::vector<vdio_board *> boards;
  for (int c = 0; c < clients; ++c) boards.push_back(Open(device));
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  const uint64_t length = static_cast<uint64_t>(seconds * 1e9);
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      while (!go.load()) std::this_thread::yield();
      const uint64_t end = NowNs() + length;
      vdio_state state;
      for (uint64_t start = NowNs(); start < end; start = NowNs()) {
        const int result = call == Call::kGet ? vdio_get(boards[c], VDIO_DI0)
                                              : vdio_read(boards[c], &state);
        if (result < 0) {
          std::fprintf(stderr, "service_bench: call failed: %s\n", std::strerror(-result));
          std::exit(1);
        }
        times[c].push_back(NowNs() - start);
        if (pace_us > 0) usleep(static_cast<useconds_t>(pace_us));
      }
    });
  }
  go = true;
  for (std::thread &t : threads) t.join();
  for (vdio_board *board : boards) vdio_close(board);
  std::vector<uint64_t> all;
  for (const auto &client : times) all.insert(all.end(), client.begin(), client.end());
  return all;
}

void PrintRoundTrips(const char *road, const char *device, double seconds) {
  constexpr uint64_t kPaceUs = 1000;
  for (const Call call : {Call::kGet, Call::kRead}) {
    for (const int clients : {1, 16}) {
      for (const uint64_t pace : {uint64_t{0}, kPaceUs}) {
        const std::vector<uint64_t> times = RoundTrips(device, call, clients, seconds, pace);
        std::printf("%-12s %-9s %2d client%s %-13s calls %9zu  p50 %8.1f us  p99 %8.1f us\n",
                    road, call == Call::kGet ? "vdio_get" : "vdio_read", clients,
                    clients == 1 ? " " : "s", pace ? "each 1/ms" : "back to back", times.size(),
                    Percentile(times, 0.50) / 1e3, Percentile(times, 0.99) / 1e3);
      }
    }
  }
}

volatile uint8_t *MapDi0(const char *board_file) {
  const int fd = open(board_file, O_RDWR);
  void *page = fd < 0 ? MAP_FAILED
                      : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kGpioPage);
  if (fd >= 0) close(fd);
  if (page == MAP_FAILED) {
    std::fprintf(stderr, "service_bench: cannot map %s: %s\n", board_file, std::strerror(errno));
    std::exit(1);
  }
  return static_cast<volatile uint8_t *>(page) + kDi0Offset;
}

// count changes of DI0, each written at a time the writer notes and seen by
// a watcher through the service; the watcher waits for each before the
// next is written, a few intervals apart, so that no change hides another.
void PrintEventLatency(const char *board_file, const char *socket, int count) {
  volatile uint8_t *di0 = MapDi0(board_file);
  vdio_board *board = Open(socket);
  vdio_watch *watch = nullptr;
  const int made = vdio_watch_new(board, 1u << VDIO_DI0, 1000, 0, &watch);
  if (made != 0) {
    std::fprintf(stderr, "service_bench: no watch: %s\n", std::strerror(-made));
    std::exit(1);
  }
  std::vector<uint64_t> latencies;
  for (int i = 0; i < count; ++i) {
    // A random phase against the service's sampling.
    usleep(static_cast<useconds_t>(2000 + std::rand() % 20000));
    const uint64_t written = NowNs();
    *di0 = static_cast<uint8_t>(*di0 ^ kSensedBit);
    vdio_event event;
    const int got = vdio_watch_next(watch, 5000, &event);
    if (got != 1) {
      std::fprintf(stderr, "service_bench: no event after a change (%d)\n", got);
      std::exit(1);
    }
    latencies.push_back(NowNs() - written);
  }
  vdio_watch_free(watch);
  vdio_close(board);
  std::printf("events       %d changes of DI0  median %8.2f ms  p99 %8.2f ms  max %8.2f ms\n",
              count, Percentile(latencies, 0.50) / 1e6, Percentile(latencies, 0.99) / 1e6,
              Percentile(latencies, 1.0) / 1e6);
}

// Reads every line once per interval, on an absolute schedule, for seconds;
// prints the CPU time it used, in ms.
void PrintBareLoopCpu(const char *board_file, uint64_t interval_us, double seconds) {
  vdio_board *board = Open(board_file);
  const uint64_t start = NowNs();
  const uint64_t end = start + static_cast<uint64_t>(seconds * 1e9);
  vdio_state state;
  for (uint64_t next = start; next < end; next += interval_us * 1000) {
    vdio_read(board, &state);
    timespec at = {static_cast<time_t>(next / 1000000000u), static_cast<long>(next % 1000000000u)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  }
  vdio_close(board);
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  const double cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  std::printf("%.1f\n", cpu_ms);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 4 && std::strcmp(argv[1], "rtt") == 0) {
    const double seconds = argc > 4 ? std::atof(argv[4]) : 2.0;
    PrintRoundTrips("board file", argv[2], seconds);
    PrintRoundTrips("service", argv[3], seconds);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "events") == 0) {
    PrintEventLatency(argv[2], argv[3], std::atoi(argv[4]));
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "loop") == 0) {
    PrintBareLoopCpu(argv[2], std::strtoull(argv[3], nullptr, 10), std::atof(argv[4]));
    return 0;
  }
  std::fprintf(stderr,
               "usage: service_bench rtt BOARD_FILE SOCKET [SECONDS]\n"
               "       service_bench events BOARD_FILE SOCKET COUNT\n"
               "       service_bench loop BOARD_FILE INTERVAL_US SECONDS\n");
  return 2;
}
