// Benchmarks of the shipped libvarnik_dio on the simulated board, beside the
// floor: the same device calls made bare, with no library around them.
// After the run every operation is given as a ratio to the floor, from the
// medians of the repetitions: a byte or line access against one bare
// access, a port operation against eight, QelLEDCount against three.
//
// bench/run-bench builds and runs it. By hand:
//   LD_PRELOAD=BUILD/sim/libvarnik_dio_sim.so VARNIK_SIM_BOARD=board.img
//   BUILD/bench/access_bench [benchmark flags]
// It refuses to run unless the simulated board intercepts the device calls.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "varnik_dio.h"
#include "varnik_dio_sim.h"

namespace {

// DI0 and DO0 of the GPIO window, written out here so that the floor owes
// nothing to the library.
constexpr uint32_t kInputRegister = 0xFDAE06A8u;
constexpr uint32_t kOutputRegister = 0xFDAE04E8u;
constexpr uint8_t kOutputInactive = 0x01;
constexpr uint32_t kPageLength = 4096;

enum Touch { kLoad, kStore };
enum Flush { kNoFlush, kFlush };

// One register access done bare: open the device, map its page, one byte,
// unmap, close. The library flushes stdout after the open, after the mapping
// and before the unmapping; with kFlush the floor makes the same three calls,
// so that the comparison is like for like. With nothing buffered a flush
// makes no system call, it only takes and drops the stream lock;
// Floor/load/no_flush shows what the three cost.
bool BareAccess(uint32_t address, Touch touch, Flush flush) {
  const int fd = open("/dev/mem", O_RDWR | O_SYNC);
  if (fd == -1) return false;
  if (flush == kFlush) fflush(stdout);
  void *page = mmap(nullptr, kPageLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                    static_cast<off_t>(address & ~(kPageLength - 1)));
  if (page == MAP_FAILED) return false;
  if (flush == kFlush) fflush(stdout);
  volatile uint8_t *reg = static_cast<volatile uint8_t *>(page) + (address & (kPageLength - 1));
  if (touch == kLoad) {
    const uint8_t value = *reg;
    benchmark::DoNotOptimize(value);
  } else {
    *reg = kOutputInactive;
  }
  if (flush == kFlush) fflush(stdout);
  if (munmap(page, kPageLength) == -1) return false;
  close(fd);
  return true;
}

// Every benchmark starts with stdout empty, so that the flushes inside the
// loop find nothing to write, as for a program that prints nothing.
void Floor(benchmark::State &state, Touch touch, Flush flush) {
  const uint32_t address = touch == kLoad ? kInputRegister : kOutputRegister;
  fflush(stdout);
  for (auto _ : state) {
    if (!BareAccess(address, touch, flush)) {
      state.SkipWithError("bare device access failed");
      break;
    }
  }
}

void LibReadMMap(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) benchmark::DoNotOptimize(ReadMMap(kInputRegister));
}

void LibWriteMap(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) benchmark::DoNotOptimize(WriteMap(kOutputRegister, kOutputInactive));
}

void LibGPIOWriteToPin(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) {
    if (GPIOWriteToPin(0, 0) != 0) {
      state.SkipWithError("GPIOWriteToPin failed");
      break;
    }
  }
}

void LibGPO_Write(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) {
    if (GPO_Write(0) != 0) {
      state.SkipWithError("GPO_Write failed");
      break;
    }
  }
}

void LibGPI_Read(benchmark::State &state) {
  fflush(stdout);
  uint16_t mask = 0;
  for (auto _ : state) {
    if (GPI_Read(&mask) != 0) {
      state.SkipWithError("GPI_Read failed");
      break;
    }
    benchmark::DoNotOptimize(mask);
  }
}

void LibQelLEDCount(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) benchmark::DoNotOptimize(QelLEDCount());
}

// Median times per iteration, in ns, of one benchmark.
struct Median {
  double cpu;
  double real;
};

// The console output, keeping the medians of every benchmark.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  explicit MedianReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred)
        medians[run.run_name.function_name] = {run.GetAdjustedCPUTime(),
                                               run.GetAdjustedRealTime()};
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, Median> medians;
};

struct Ratio {
  const char *name;
  const char *floor;
  int accesses;
};

// Reads are set against the bare load, writes against the bare store.
constexpr Ratio kRatios[] = {
    {"ReadMMap", "Floor/load", 1},       {"WriteMap", "Floor/store", 1},
    {"GPIOWriteToPin", "Floor/store", 1}, {"GPO_Write", "Floor/store", 8},
    {"GPI_Read", "Floor/load", 8},        {"QelLEDCount", "Floor/load", 3},
};

// Both clocks are shown. CPU time counts only this process, kernel work
// included (every system call and page fault here runs synchronously in
// it), and so is less disturbed when other programs share the cores; real time
// also counts waiting for a core. Returns false if a figure is missing (a
// benchmark failed or was filtered out).
bool PrintRatios(const std::map<std::string, Median> &medians) {
  std::printf("\nRatio to the floor, from the medians of the repetitions (ns per operation)\n");
  std::printf("%-15s %-14s %10s %10s %7s %10s %10s %7s\n", "operation", "floor", "cpu",
              "floor cpu", "ratio", "real", "floor real", "ratio");
  bool complete = true;
  for (const Ratio &r : kRatios) {
    const auto op = medians.find(r.name), floor = medians.find(r.floor);
    if (op == medians.end() || floor == medians.end()) {
      std::printf("%-15s (no figure)\n", r.name);
      complete = false;
      continue;
    }
    const double floor_cpu = floor->second.cpu * r.accesses;
    const double floor_real = floor->second.real * r.accesses;
    std::printf("%-15s %-11s x%d %10.0f %10.0f %7.3f %10.0f %10.0f %7.3f\n", r.name, r.floor,
                r.accesses, op->second.cpu, floor_cpu, op->second.cpu / floor_cpu,
                op->second.real, floor_real, op->second.real / floor_real);
  }
  const auto flushed = medians.find("Floor/load"), bare = medians.find("Floor/load/no_flush");
  if (flushed != medians.end() && bare != medians.end())
    std::printf("Three empty fflush(stdout) per access (Floor/load - Floor/load/no_flush): "
                "cpu %+.0f ns, real %+.0f ns\n",
                flushed->second.cpu - bare->second.cpu, flushed->second.real - bare->second.real);
  return complete;
}

}  // namespace

int main(int argc, char **argv) {
  // Never reach the machine's own device: the simulated board must be the
  // one answering every open, mmap, munmap and close.
  if (!varnik_sim_interposing()) {
    std::fprintf(stderr,
                 "%s: the simulated board does not intercept the device calls; refusing to "
                 "run. Use bench/run-bench or LD_PRELOAD=.../libvarnik_dio_sim.so\n",
                 argv[0]);
    return 2;
  }
  const char *board = std::getenv("VARNIK_SIM_BOARD");
  if (board == nullptr || *board == '\0') {
    std::fprintf(stderr, "%s: VARNIK_SIM_BOARD names no board file; refusing to run\n", argv[0]);
    return 2;
  }

  // Defaults for a run of about a minute; flags given on the command line
  // come later and win. The cost of one access drifts by tens of percent
  // over seconds on a shared virtual machine: many short repetitions, run
  // in random order across all benchmarks, spread that drift over floor and
  // library alike, and the medians set it aside.
  std::vector<std::string> flags = {argv[0],
                                    "--benchmark_repetitions=60",
                                    "--benchmark_min_time=0.08",
                                    "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true"};
  flags.insert(flags.end(), argv + 1, argv + argc);
  std::vector<char *> args;
  for (std::string &flag : flags) args.push_back(flag.data());
  int args_count = static_cast<int>(args.size());
  benchmark::Initialize(&args_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(args_count, args.data())) return 2;

  // The run length is set by real time; both clocks are reported.
  for (benchmark::internal::Benchmark *b : {
           benchmark::RegisterBenchmark("Floor/load", Floor, kLoad, kFlush),
           benchmark::RegisterBenchmark("Floor/store", Floor, kStore, kFlush),
           benchmark::RegisterBenchmark("Floor/load/no_flush", Floor, kLoad, kNoFlush),
           benchmark::RegisterBenchmark("ReadMMap", LibReadMMap),
           benchmark::RegisterBenchmark("WriteMap", LibWriteMap),
           benchmark::RegisterBenchmark("GPIOWriteToPin", LibGPIOWriteToPin),
           benchmark::RegisterBenchmark("GPO_Write", LibGPO_Write),
           benchmark::RegisterBenchmark("GPI_Read", LibGPI_Read),
           benchmark::RegisterBenchmark("QelLEDCount", LibQelLEDCount)})
    b->UseRealTime();

  MedianReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                : benchmark::ConsoleReporter::OO_None);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return PrintRatios(reporter.medians) ? 0 : 1;
}
