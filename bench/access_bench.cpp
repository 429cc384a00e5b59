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

#include "bench_common.h"
#include "varnik_dio.h"

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

// Reads are set against the bare load, writes against the bare store.
constexpr bench::Ratio kRatios[] = {
    {"ReadMMap", "Floor/load", 1},       {"WriteMap", "Floor/store", 1},
    {"GPIOWriteToPin", "Floor/store", 1}, {"GPO_Write", "Floor/store", 8},
    {"GPI_Read", "Floor/load", 8},        {"QelLEDCount", "Floor/load", 3},
};

void PrintFlushCost(const bench::Medians &medians) {
  const auto flushed = medians.find("Floor/load"), bare = medians.find("Floor/load/no_flush");
  if (flushed != medians.end() && bare != medians.end())
    std::printf("Three empty fflush(stdout) per access (Floor/load - Floor/load/no_flush): "
                "cpu %+.0f ns, real %+.0f ns\n",
                flushed->second.cpu - bare->second.cpu, flushed->second.real - bare->second.real);
}

}  // namespace

int main(int argc, char **argv) {
  if (bench::RequireSimulatedBoard(argv[0]) == nullptr) return 2;
  // The cost of one access drifts by tens of percent over seconds on a
  // shared virtual machine: many short repetitions.
  bench::Initialize(argc, argv, {"--benchmark_repetitions=60", "--benchmark_min_time=0.08"});

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

  bench::Medians medians;
  const bool complete = bench::RunAndPrintRatios(kRatios, sizeof kRatios / sizeof kRatios[0], &medians);
  PrintFlushCost(medians);
  return complete ? 0 : 1;
}
