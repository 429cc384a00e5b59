#include "claim_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "board_registers.h"

namespace wire = varnik::wire;

void ClaimTest::TearDown() {
  for (vdio_board *board : boards_) vdio_close(board);
  boards_.clear();
  ServiceTest::TearDown();
}

vdio_board *ClaimTest::Open() {
  vdio_board *board = nullptr;
  const int status = vdio_open(socket_path_.c_str(), &board);
  EXPECT_EQ(status, 0) << "vdio_open on the service";
  if (board != nullptr) boards_.push_back(board);
  return board;
}

void ClaimTest::CloseBoard(vdio_board *board) {
  boards_.erase(std::remove(boards_.begin(), boards_.end(), board), boards_.end());
  vdio_close(board);
}

struct vdio_claim ClaimTest::Claim(uint32_t lines, uint32_t safe_values, uint32_t flags,
                                   uint32_t lease_ms, const std::string &consumer) {
  struct vdio_claim claim {};
  claim.size = sizeof claim;
  claim.lines = lines;
  claim.safe_values = safe_values;
  claim.flags = flags;
  claim.lease_ms = lease_ms;
  std::strncpy(claim.consumer, consumer.c_str(), sizeof claim.consumer - 1);
  return claim;
}

std::vector<uint8_t> ClaimTest::ClaimBytes(uint32_t lines, uint32_t safe_values, uint64_t flags,
                                           const std::string &consumer) {
  std::vector<uint8_t> bytes(wire::kClaimSize);
  wire::Encode(Request(wire::kClaim, lines, safe_values, flags), bytes.data());
  std::memcpy(bytes.data() + wire::kMessageSize, consumer.data(),
              std::min(consumer.size(), wire::kNameSize));
  return bytes;
}

uint8_t ClaimTest::OutputsOnBoard() const {
  uint8_t outputs = 0;
  for (int i = 0; i < 8; ++i)
    if (Peek(board::kOutput[i]) == board::kDriven) outputs |= static_cast<uint8_t>(1u << i);
  return outputs;
}

void ClaimTest::SetOutputsTo(uint8_t values) {
  vdio_board *board = Open();
  EXPECT_EQ(vdio_write_outputs(board, 0xFF, values), 0);
  CloseBoard(board);
}

bool ClaimTest::WaitForOutputs(uint8_t mask, uint8_t values, double seconds) const {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(SlowSeconds(seconds));
  do {
    if ((OutputsOnBoard() & mask) == values) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool SlowMachine() {
#ifdef VARNIK_SANITIZER
  return true;
#else
  return UnderEmulator();
#endif
}

Holder ClaimTest::SpawnHolder(const struct vdio_claim &claim) {
  return SpawnChild([&claim](vdio_board *board) { return vdio_claim(board, &claim) == 0; });
}

Holder ClaimTest::SpawnChild(const std::function<bool(vdio_board *)> &asking) {
  int ready[2];
  if (pipe(ready) != 0) return {};
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    vdio_board *board = nullptr;
    if (vdio_open(socket_path_.c_str(), &board) != 0 || !asking(board)) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  close(ready[1]);
  char byte = 0;
  const bool claimed = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  if (!claimed && pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return {};
  }
  return {pid};
}

std::vector<LevelChange> ClaimTest::SampleOutput(int output, double seconds, size_t changes,
                                                 std::promise<void> *sampling) const {
  std::vector<LevelChange> seen;
  const int fd = open(board_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return seen;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::duration<double>(SlowSeconds(seconds));
  int level = -1;
  for (auto now = start; now < deadline && seen.size() < changes;) {
    // A pause between reads leaves the cores to the service being measured;
    // its edges are milliseconds apart.
    if (level >= 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    uint8_t byte = 0;
    if (pread(fd, &byte, 1, static_cast<off_t>(board::kOutput[output])) != 1) break;
    // Timed after the read: a sampler put off between the two sees a change
    // late, never early.
    now = std::chrono::steady_clock::now();
    const int sampled = byte == board::kDriven ? 1 : 0;
    if (level >= 0 && sampled != level)
      seen.push_back({std::chrono::duration<double, std::micro>(now - start).count(), sampled});
    if (level < 0 && sampling != nullptr) sampling->set_value();
    level = sampled;
  }
  close(fd);
  return seen;
}

std::chrono::microseconds ClaimTest::SlowDuration(double seconds) {
  return std::chrono::microseconds(static_cast<int64_t>(SlowSeconds(seconds) * 1e6));
}
