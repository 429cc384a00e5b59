#include "gateway_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "board_registers.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kLauncher = VARNIK_TEST_LAUNCHER;
constexpr uint64_t kBoardSize = 1ull << 32;

bool Emulated() { return *kLauncher != '\0'; }

// The test's environment without the board settings, which the gateway
// gets afresh: the preload (through the emulator, when there is one) and a
// throwaway board.
std::vector<std::string> GatewayEnvironment(const std::string &throwaway_board) {
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("LD_PRELOAD=", 0) == 0 || text.rfind("QEMU_SET_ENV=", 0) == 0 ||
        text.rfind("VARNIK_SIM_", 0) == 0)
      continue;
    environment.push_back(text);
  }
  const std::string preload = std::string("LD_PRELOAD=") + VARNIK_SIM_LIBRARY;
  environment.push_back(Emulated() ? "QEMU_SET_ENV=" + preload : preload);
  environment.push_back("VARNIK_SIM_BOARD=" + throwaway_board);
  return environment;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

double SlowMachineSeconds(double seconds) { return Emulated() ? seconds * 5 : seconds; }

bool RunsUnderEmulator() { return Emulated(); }

void MakeBoardFile(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(kBoardSize)) != 0) {
    std::fprintf(stderr, "cannot make board file %s: %s\n", path.c_str(), std::strerror(errno));
    std::abort();
  }
  const std::vector<uint8_t> page(4096, 0x03);
  for (uint32_t window : {board::kGpioWindow, board::kLedWindow})
    if (pwrite(fd, page.data(), page.size(), static_cast<off_t>(window)) != 4096) std::abort();
  close(fd);
}

// Each gateway of a test logs to a file of its own: under qemu-user the
// spawned child may truncate its log only after posix_spawn returned, so a
// shared file could still show the last gateway's start-up line.
GatewayProcess::GatewayProcess(const std::string &dir, const std::vector<std::string> &args,
                               Output output)
    : log_path_(dir + "/gateway-" + std::to_string(++started_) + ".log") {
  std::vector<std::string> argv_strings;
  if (Emulated()) argv_strings.push_back(kLauncher);
  argv_strings.push_back(DIO_MODBUSD_PROGRAM);
  argv_strings.push_back("--listen=127.0.0.1:0");
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = GatewayEnvironment(dir + "/throwaway-board.img");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output == Output::kPipe) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) std::abort();
    pipe_read_ = ends[0];
    pipe_write_ = ends[1];
    fcntl(pipe_read_, F_SETFL, O_NONBLOCK);  // the test's own end
    fcntl(pipe_write_, F_SETPIPE_SZ, 4096);  // a page: a stalled reader is felt at once
    posix_spawn_file_actions_adddup2(&actions, pipe_write_, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  }
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char *> argv = Pointers(argv_strings);
  std::vector<char *> envp = Pointers(env_strings);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

GatewayProcess::~GatewayProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (pipe_read_ >= 0) close(pipe_read_);
  if (pipe_write_ >= 0) close(pipe_write_);
}

bool GatewayProcess::WaitListening() {
  const std::regex listening("listening on 127\\.0\\.0\\.1:([0-9]+)");
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(20));
  while (Clock::now() < deadline && Running()) {
    std::smatch match;
    const std::string log = Log();
    if (std::regex_search(log, match, listening)) {
      port_ = std::stoi(match[1]);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string GatewayProcess::Log() const {
  if (pipe_read_ >= 0) {
    ReadPipe();
    return piped_;
  }
  std::ifstream file(log_path_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void GatewayProcess::ReadPipe() const {
  char buffer[65536];
  ssize_t got;
  while ((got = read(pipe_read_, buffer, sizeof buffer)) > 0)
    piped_.append(buffer, static_cast<size_t>(got));
}

bool GatewayProcess::OutputNonBlocking() const {
  return pipe_write_ >= 0 && (fcntl(pipe_write_, F_GETFL) & O_NONBLOCK) != 0;
}

bool GatewayProcess::WaitForLog(const std::string &text, double seconds) const {
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(seconds));
  do {
    if (Log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return false;
}

std::vector<std::string> GatewayProcess::LogLines(const std::string &text) const {
  std::vector<std::string> lines;
  std::istringstream log(Log());
  for (std::string line; std::getline(log, line);)
    if (line.find(text) != std::string::npos) lines.push_back(line);
  return lines;
}

size_t GatewayProcess::WaitForLogLines(const std::string &text, size_t count,
                                       double seconds) const {
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(seconds));
  for (;;) {
    const size_t found = LogLines(text).size();
    if (found >= count || Clock::now() >= deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int GatewayProcess::Stop(int signal, double seconds) {
  if (pid_ <= 0) return -1;
  if (!exited_) kill(pid_, signal);
  return WaitForExit(seconds);
}

int GatewayProcess::WaitForExit(double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(seconds));
  do {
    if (!Running()) return status_;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return -1;
}

bool GatewayProcess::Running() {
  if (pid_ <= 0 || exited_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return !exited_;
}
