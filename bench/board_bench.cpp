// Benchmarks of the board API on the simulated board, beside the driver's
// per-access calls and beside the floor of a held mapping: bare volatile
// byte loads and stores on the two register pages, with no library around
// them. After the run the ratios are printed from the medians.
//
// bench/run-bench builds and runs it. By hand:
//   LD_PRELOAD=BUILD/sim/libvarnik_dio_sim.so VARNIK_SIM_BOARD=board.img
//   BUILD/bench/board_bench [benchmark flags]
// It refuses to run unless the simulated board intercepts the device calls.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench_common.h"
#include "varnik_dio.h"
#include "varnik_dio_board.h"

namespace {

// Register addresses written out here, so that the floor owes nothing to
// either library.
constexpr uint32_t kGpioPage = 0xFDAE0000u, kLedPage = 0xFDAF0000u;
constexpr uint16_t kInputOffsets[8] = {0x6A8, 0x6B0, 0x6B8, 0x6C0, 0x6C8, 0x6D0, 0x6D8, 0x6E0};
constexpr uint16_t kOutputOffsets[8] = {0x4E8, 0x4F0, 0x4F8, 0x500, 0x548, 0x550, 0x558, 0x560};
constexpr uint16_t kLedOffsets[3] = {0x4A8, 0x4B0, 0x4B8};

const char *g_board_file = nullptr;
vdio_board *g_board = nullptr;
volatile uint8_t *g_gpio = nullptr;
volatile uint8_t *g_led = nullptr;

bool MapFloorPages() {
  const int fd = open(g_board_file, O_RDWR | O_SYNC);
  if (fd < 0) return false;
  void *gpio = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kGpioPage);
  void *led = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, kLedPage);
  close(fd);
  if (gpio == MAP_FAILED || led == MAP_FAILED) return false;  // the program ends
  g_gpio = static_cast<volatile uint8_t *>(gpio);
  g_led = static_cast<volatile uint8_t *>(led);
  return true;
}

// ---- The floor: bare loads and stores on the held pages -------------------

void FloorLoad1(benchmark::State &state) {
  for (auto _ : state) {
    const uint8_t value = g_gpio[kInputOffsets[0]];
    benchmark::DoNotOptimize(value);
  }
}

void FloorLoad8(benchmark::State &state) {
  for (auto _ : state) {
    for (uint16_t offset : kInputOffsets) {
      const uint8_t value = g_gpio[offset];
      benchmark::DoNotOptimize(value);
    }
  }
}

void FloorLoad19(benchmark::State &state) {
  for (auto _ : state) {
    for (uint16_t offset : kInputOffsets) {
      const uint8_t value = g_gpio[offset];
      benchmark::DoNotOptimize(value);
    }
    for (uint16_t offset : kOutputOffsets) {
      const uint8_t value = g_gpio[offset];
      benchmark::DoNotOptimize(value);
    }
    for (uint16_t offset : kLedOffsets) {
      const uint8_t value = g_led[offset];
      benchmark::DoNotOptimize(value);
    }
  }
}

void FloorStore1(benchmark::State &state) {
  for (auto _ : state) {
    g_gpio[kOutputOffsets[0]] = 0x01;
    benchmark::ClobberMemory();
  }
}

// ---- The board API --------------------------------------------------------

void BoardGet(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(vdio_get(g_board, VDIO_DI0));
}

void BoardSet(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(vdio_set(g_board, VDIO_DO0, 0));
}

void BoardReadInputs(benchmark::State &state) {
  uint8_t mask = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vdio_read_inputs(g_board, &mask));
    benchmark::DoNotOptimize(mask);
  }
}

void BoardRead(benchmark::State &state) {
  vdio_state board_state{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(vdio_read(g_board, &board_state));
    benchmark::DoNotOptimize(board_state);
  }
}

// ---- The driver: one complete device access per line ---------------------

void DriverReadFromPin(benchmark::State &state) {
  fflush(stdout);
  uint8_t level = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GPIOReadFromPin(0, &level));
    benchmark::DoNotOptimize(level);
  }
}

void DriverWriteToPin(benchmark::State &state) {
  fflush(stdout);
  for (auto _ : state) benchmark::DoNotOptimize(GPIOWriteToPin(0, 0));
}

void DriverGPI_Read(benchmark::State &state) {
  fflush(stdout);
  uint16_t mask = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GPI_Read(&mask));
    benchmark::DoNotOptimize(mask);
  }
}

// operation / (reference x count): how many times the reference's cost.
constexpr bench::Ratio kRatios[] = {
    {"vdio_get", "Floor/load", 1},          {"vdio_set", "Floor/store", 1},
    {"vdio_read_inputs", "Floor/load", 8},  {"vdio_read", "Floor/load", 19},
    {"vdio_read_inputs", "Floor/load8", 1}, {"vdio_read", "Floor/load19", 1},
    {"GPI_Read", "vdio_read_inputs", 1},    {"GPIOReadFromPin", "vdio_get", 1},
    {"GPIOWriteToPin", "vdio_set", 1},
};

}  // namespace

int main(int argc, char **argv) {
  g_board_file = bench::RequireSimulatedBoard(argv[0]);
  if (g_board_file == nullptr) return 2;
  const int opened = vdio_open(g_board_file, &g_board);
  if (opened != 0) {
    std::fprintf(stderr, "%s: cannot open the board file %s: %s\n", argv[0], g_board_file,
                 std::strerror(-opened));
    return 1;
  }
  if (!MapFloorPages()) {
    std::fprintf(stderr, "%s: cannot map the board file %s: %s\n", argv[0], g_board_file,
                 std::strerror(errno));
    return 1;
  }
  bench::Initialize(argc, argv, {"--benchmark_repetitions=30", "--benchmark_min_time=0.05"});
  // The run length is set by real time; both clocks are reported.
  for (benchmark::internal::Benchmark *b :
       {benchmark::RegisterBenchmark("Floor/load", FloorLoad1),
        benchmark::RegisterBenchmark("Floor/load8", FloorLoad8),
        benchmark::RegisterBenchmark("Floor/load19", FloorLoad19),
        benchmark::RegisterBenchmark("Floor/store", FloorStore1),
        benchmark::RegisterBenchmark("vdio_get", BoardGet),
        benchmark::RegisterBenchmark("vdio_set", BoardSet),
        benchmark::RegisterBenchmark("vdio_read_inputs", BoardReadInputs),
        benchmark::RegisterBenchmark("vdio_read", BoardRead),
        benchmark::RegisterBenchmark("GPIOReadFromPin", DriverReadFromPin),
        benchmark::RegisterBenchmark("GPIOWriteToPin", DriverWriteToPin),
        benchmark::RegisterBenchmark("GPI_Read", DriverGPI_Read)})
    b->UseRealTime();
  const bool complete = bench::RunAndPrintRatios(kRatios, sizeof kRatios / sizeof kRatios[0]);
  vdio_close(g_board);
  return complete ? 0 : 1;
}
