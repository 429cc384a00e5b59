// The real Sample program on the simulated board, its standard output a
// pipe read line by line as it arrives.
#include "board_fixture.h"
#include "board_registers.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Line {
  std::string text;
  double seconds;  // since Sample started
};

// Sample started in its own process, its standard output and standard
// error on pipes. Killed when the test is done with it.
class SampleProcess {
 public:
  explicit SampleProcess(const std::vector<std::string> &environment) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);

    std::vector<std::string> env_strings = ForLauncher(environment);
    std::vector<char *> envp;
    for (std::string &entry : env_strings) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::vector<char *> argv;
    if (*kLauncher != '\0') argv.push_back(const_cast<char *>(kLauncher));
    argv.push_back(const_cast<char *>(VARNIK_SAMPLE_PROGRAM));
    argv.push_back(nullptr);
    started_ = Clock::now();
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }

  ~SampleProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }

  bool Started() const { return pid_ > 0; }

  // Lines from standard output as they arrive, until `count` or the
  // deadline.
  std::vector<Line> ReadLines(size_t count, double deadline_seconds) {
    std::vector<Line> lines;
    std::string partial;
    while (lines.size() < count) {
      const double left = deadline_seconds - Elapsed();
      if (left <= 0) break;
      pollfd fd = {out_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
      char buffer[256];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got && lines.size() < count; ++i) {
        if (buffer[i] == '\n') {
          lines.push_back({partial, Elapsed()});
          partial.clear();
        } else {
          partial += buffer[i];
        }
      }
    }
    return lines;
  }

  // Waits for the end of the process; returns everything it printed.
  int WaitForExit(std::string *out, std::string *err) {
    int status = 0;
    waitpid(pid_, &status, 0);
    exited_ = true;
    *out = Drain(out_);
    *err = Drain(err_);
    return status;
  }

 private:
  // Where the tests run under an emulator (qemu-i386 for the i386 build),
  // Sample runs under it too, and the preload goes to Sample, not to the
  // emulator.
  static constexpr const char *kLauncher = VARNIK_TEST_LAUNCHER;

  static std::vector<std::string> ForLauncher(const std::vector<std::string> &environment) {
    if (*kLauncher == '\0') return environment;
    std::vector<std::string> translated;
    for (const std::string &entry : environment) {
      translated.push_back(entry.rfind("LD_PRELOAD=", 0) == 0 ? "QEMU_SET_ENV=" + entry : entry);
    }
    return translated;
  }

  double Elapsed() const {
    return std::chrono::duration<double>(Clock::now() - started_).count();
  }

  static std::string Drain(int fd) {
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool exited_ = false;
  Clock::time_point started_;
};

class SampleTest : public BoardTest {
 protected:
  std::vector<std::string> BoardEnvironment() const {
    return {"LD_PRELOAD=" VARNIK_SIM_LIBRARY, "VARNIK_SIM_BOARD=" + board_path_,
            "VARNIK_SIM_TRACE=" + trace_path_};
  }

  // Inputs DI0..DI7 sensing the levels of `active`; bit 0 of each register
  // is set opposite to its input, since Sample must not read it.
  void PresetInputs(uint8_t active) const {
    for (int n = 0; n < 8; ++n) {
      Poke(board::kInput[n], ((active >> n) & 1) ? 0x01 : 0x02);
    }
  }
};

TEST_F(SampleTest, TwoPhasesReportTheLedsOutputsAndInputs) {
  PresetInputs(0xA5);
  SampleProcess sample(BoardEnvironment());
  ASSERT_TRUE(sample.Started());

  const std::vector<Line> lines = sample.ReadLines(8, 20.0);
  std::vector<std::string> texts;
  for (const Line &line : lines) texts.push_back(line.text);
  const std::vector<std::string> expected = {
      "LED Read: 7", "Write to 0x00 to DO", "DO Read: 0",  "DI Read: a5",
      "LED Read: 0", "Write to 0xFF to DO", "DO Read: ff", "DI Read: a5"};
  ASSERT_EQ(texts, expected);

  // A phase is 4 s of sleep plus its accesses; the lines come as they are
  // made, not at the end.
  const double phase = lines[4].seconds - lines[0].seconds;
  EXPECT_GT(phase, 3.9);
  EXPECT_LT(phase, 6.0);
  EXPECT_LT(lines[0].seconds, 1.5);
}

TEST_F(SampleTest, EveryLineIsFlushedBeforeTheNextMapping) {
  SampleProcess sample(BoardEnvironment());
  ASSERT_TRUE(sample.Started());
  ASSERT_EQ(sample.ReadLines(4, 10.0).size(), 4u);

  int mappings = 0;
  for (const std::string &line : Trace()) {
    if (line.rfind("mmap ", 0) != 0) continue;
    ++mappings;
    EXPECT_NE(line.find(" pending=0"), std::string::npos) << line;
  }
  // 3 LED writes, 3 LED reads, 8 output writes, 8 output reads, 8 input
  // reads for the first phase at least.
  EXPECT_GE(mappings, 30);
}

TEST_F(SampleTest, WithoutTheDeviceTheFirstAccessEndsIt) {
  struct Case { std::string fault; std::string report; };
  const Case cases[] = {
      {"", "Error at line 131, file varnik_dio.cpp (2) [No such file or directory]\n"},
      {"VARNIK_SIM_FAIL=open:13", "Error at line 131, file varnik_dio.cpp (13) [Permission denied]\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.report);
    std::vector<std::string> environment = {"LD_PRELOAD=" VARNIK_SIM_LIBRARY};
    if (!c.fault.empty()) {
      environment.push_back(c.fault);
      environment.push_back("VARNIK_SIM_BOARD=" + board_path_);
    }
    SampleProcess sample(environment);
    ASSERT_TRUE(sample.Started());
    std::string out, err;
    const int status = sample.WaitForExit(&out, &err);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, c.report);
  }
}

TEST(SampleBinaryTest, NeedsOnlyLibc) {
#ifdef VARNIK_SANITIZER
  GTEST_SKIP() << "built with -fsanitize=" VARNIK_SANITIZER
                  ": Sample needs the sanitizer runtime beside libc";
#endif
  // readelf is a host program: keep the board's preload (built for the
  // target, which may be i386) away from it.
  FILE *pipe = popen("exec env -u LD_PRELOAD readelf -d " VARNIK_SAMPLE_PROGRAM, "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> needed;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    const std::string text = line;
    if (text.find("(NEEDED)") == std::string::npos) continue;
    const size_t open = text.find('['), close = text.find(']');
    needed.push_back(text.substr(open + 1, close - open - 1));
  }
  pclose(pipe);
  EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
}

}  // namespace
