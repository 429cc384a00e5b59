// Client-side load on dio-modbusd: N clients, each with its own libmodbus
// connection, repeat one request back to back for a while; prints the
// requests per second of all of them and the latency percentiles of single
// requests. bench/run-modbus-bench runs it against the board and against
// the same server answering from memory.
//
//   modbus_load PORT CLIENTS SECONDS read-inputs|write-coil
#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Operation { kReadInputs, kWriteCoil };

struct ClientResult {
  std::vector<uint32_t> latencies_ns;
  long failures = 0;
};

bool Request(modbus_t *mb, Operation operation, long count) {
  if (operation == Operation::kReadInputs) {
    uint8_t inputs[8];
    return modbus_read_input_bits(mb, 0, 8, inputs) == 8;
  }
  return modbus_write_bit(mb, 0, static_cast<int>(count & 1)) == 1;
}

void RunClient(int port, Operation operation, Clock::time_point start, Clock::time_point end,
               ClientResult *result) {
  modbus_t *mb = modbus_new_tcp("127.0.0.1", port);
  if (mb == nullptr || modbus_connect(mb) != 0) {
    result->failures = -1;
    if (mb != nullptr) modbus_free(mb);
    return;
  }
  result->latencies_ns.reserve(1 << 20);
  std::this_thread::sleep_until(start);
  for (long count = 0; Clock::now() < end; ++count) {
    const Clock::time_point before = Clock::now();
    if (!Request(mb, operation, count)) {
      ++result->failures;
      continue;
    }
    result->latencies_ns.push_back(static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count()));
  }
  modbus_close(mb);
  modbus_free(mb);
}

double Percentile(const std::vector<uint32_t> &sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
  return sorted[at] / 1000.0;
}

int Usage() {
  std::fprintf(stderr, "usage: modbus_load PORT CLIENTS SECONDS read-inputs|write-coil\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) return Usage();
  const int port = std::atoi(argv[1]);
  const int clients = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  const std::string name = argv[4];
  if (port <= 0 || port > 65535 || clients < 1 || clients > 256 || seconds <= 0 ||
      (name != "read-inputs" && name != "write-coil"))
    return Usage();
  const Operation operation = name == "read-inputs" ? Operation::kReadInputs : Operation::kWriteCoil;

  std::vector<ClientResult> results(static_cast<size_t>(clients));
  std::vector<std::thread> threads;
  // Every client connects first; the clock starts for all of them at once.
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(200);
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (int c = 0; c < clients; ++c)
    threads.emplace_back(RunClient, port, operation, start, end, &results[static_cast<size_t>(c)]);
  for (std::thread &thread : threads) thread.join();

  std::vector<uint32_t> all;
  long failures = 0;
  for (const ClientResult &result : results) {
    if (result.failures < 0) {
      std::fprintf(stderr, "modbus_load: a client could not connect to 127.0.0.1:%d\n", port);
      return 1;
    }
    failures += result.failures;
    all.insert(all.end(), result.latencies_ns.begin(), result.latencies_ns.end());
  }
  std::sort(all.begin(), all.end());
  // requests/s, p50 us, p99 us, failed requests
  std::printf("%.0f %.1f %.1f %ld\n", all.size() / seconds, Percentile(all, 0.50),
              Percentile(all, 0.99), failures);
  return failures == 0 ? 0 : 1;
}
