// What the benchmark programs share: the refusal to run anywhere but on the
// simulated board, the default flags, and the ratios printed from the
// medians of the repetitions.
#ifndef VARNIK_BENCH_COMMON_H
#define VARNIK_BENCH_COMMON_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The board file named by VARNIK_SIM_BOARD, or nullptr (after a message)
// unless the simulated board intercepts the device calls and names a board:
// a benchmark must never reach the machine's own device.
const char *RequireSimulatedBoard(const char *program);

// Google Benchmark's initialisation with defaults for a run of about a
// minute; flags on the command line come later and win. Exits with status
// 2 on an unknown flag.
void Initialize(int argc, char **argv, const std::vector<std::string> &defaults);

// operation's median over reference's median times count.
struct Ratio {
  const char *operation;
  const char *reference;
  int count;
};

// Median times per operation, in ns, of one benchmark.
struct Median {
  double cpu;
  double real;
};
using Medians = std::map<std::string, Median>;

// Runs the registered benchmarks and prints each ratio from the medians of
// real time and CPU time; the medians go to *medians when given. False if
// a figure is missing (a benchmark failed or was filtered out).
bool RunAndPrintRatios(const Ratio *ratios, size_t count, Medians *medians = nullptr);

}  // namespace bench

#endif
