#include "bench_common.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>

#include "varnik_sim_guard.h"

namespace bench {
namespace {

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
  Medians medians;
};

}  // namespace

const char *RequireSimulatedBoard(const char *program) {
  return varnik::RequireSimulatedBoard(program);
}

void Initialize(int argc, char **argv, const std::vector<std::string> &defaults) {
  // Many short repetitions, run in random order across all benchmarks,
  // spread the drift of a shared virtual machine over every benchmark
  // alike, and the medians set it aside.
  std::vector<std::string> flags = {argv[0], "--benchmark_enable_random_interleaving=true",
                                    "--benchmark_report_aggregates_only=true"};
  flags.insert(flags.end(), defaults.begin(), defaults.end());
  flags.insert(flags.end(), argv + 1, argv + argc);
  static std::vector<std::string> kept;  // benchmark keeps pointers into argv
  kept = flags;
  static std::vector<char *> args;
  for (std::string &flag : kept) args.push_back(flag.data());
  int args_count = static_cast<int>(args.size());
  benchmark::Initialize(&args_count, args.data());
  if (benchmark::ReportUnrecognizedArguments(args_count, args.data())) std::exit(2);
}

bool RunAndPrintRatios(const Ratio *ratios, size_t count, Medians *medians_out) {
  MedianReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                : benchmark::ConsoleReporter::OO_None);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // CPU time counts only this process, kernel work included; real time
  // also counts waiting for a core.
  std::printf("\nRatios, from the medians of the repetitions (ns per operation)\n");
  std::printf("%-16s %-20s %10s %10s %8s %10s %10s %8s\n", "operation", "reference", "cpu",
              "ref cpu", "ratio", "real", "ref real", "ratio");
  bool complete = true;
  const auto &medians = reporter.medians;
  for (size_t i = 0; i < count; ++i) {
    const Ratio &r = ratios[i];
    const auto op = medians.find(r.operation), ref = medians.find(r.reference);
    if (op == medians.end() || ref == medians.end()) {
      std::printf("%-16s (no figure)\n", r.operation);
      complete = false;
      continue;
    }
    const double ref_cpu = ref->second.cpu * r.count, ref_real = ref->second.real * r.count;
    const std::string reference = std::string(r.reference) + " x" + std::to_string(r.count);
    std::printf("%-16s %-20s %10.1f %10.1f %8.3f %10.1f %10.1f %8.3f\n", r.operation,
                reference.c_str(), op->second.cpu, ref_cpu, op->second.cpu / ref_cpu,
                op->second.real, ref_real, op->second.real / ref_real);
  }
  if (medians_out != nullptr) *medians_out = medians;
  return complete;
}

}  // namespace bench
