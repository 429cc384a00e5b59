#include "service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kLauncher = VARNIK_TEST_LAUNCHER;

// The test's environment without the board settings and the systemd
// variables, which the service gets afresh.
std::vector<std::string> ServiceEnvironment(const std::string &throwaway_board,
                                            const std::vector<std::string> &extra) {
  std::vector<std::string> environment;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("LD_PRELOAD=", 0) == 0 || text.rfind("QEMU_SET_ENV=", 0) == 0 ||
        text.rfind("VARNIK_SIM_", 0) == 0 || text.rfind("NOTIFY_SOCKET=", 0) == 0 ||
        text.rfind("WATCHDOG_", 0) == 0)
      continue;
    environment.push_back(text);
  }
  const std::string preload = std::string("LD_PRELOAD=") + VARNIK_SIM_LIBRARY;
  environment.push_back(UnderEmulator() ? "QEMU_SET_ENV=" + preload : preload);
  environment.push_back("VARNIK_SIM_BOARD=" + throwaway_board);
  environment.insert(environment.end(), extra.begin(), extra.end());
  return environment;
}

std::vector<char *> Pointers(std::vector<std::string> &strings) {
  std::vector<char *> pointers;
  for (std::string &text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

bool WaitUntil(double seconds, const std::function<bool()> &done) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowSeconds(seconds));
  do {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return false;
}

}  // namespace

double SlowSeconds(double seconds) { return UnderEmulator() ? seconds * 5 : seconds; }

bool UnderEmulator() { return *kLauncher != '\0'; }

ServiceProcess::ServiceProcess(const std::string &dir, const std::vector<std::string> &args,
                               const std::vector<std::string> &env) {
  static int started = 0;
  // A log of each start's own: under qemu-user the child may truncate a
  // shared one only after posix_spawn returned.
  log_path_ = dir + "/service-" + std::to_string(++started) + ".log";
  std::vector<std::string> argv_strings;
  if (UnderEmulator()) argv_strings.push_back(kLauncher);
  argv_strings.push_back(DIO_BOARDD_PROGRAM);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = ServiceEnvironment(dir + "/throwaway-board.img", env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char *> argv = Pointers(argv_strings);
  std::vector<char *> envp = Pointers(env_strings);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ServiceProcess::WaitServing() const {
  return WaitUntil(20, [this] { return !Running() || Log().find("serving ") != std::string::npos; }) &&
         Running();
}

std::string ServiceProcess::Log() const {
  std::ifstream file(log_path_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> ServiceProcess::LogLines(const std::string &text) const {
  std::vector<std::string> lines;
  std::istringstream log(Log());
  for (std::string line; std::getline(log, line);)
    if (line.find(text) != std::string::npos) lines.push_back(line);
  return lines;
}

bool ServiceProcess::WaitForLog(const std::string &text, double seconds) const {
  return WaitUntil(seconds, [&] { return Log().find(text) != std::string::npos; });
}

int ServiceProcess::Stop(int signal, double seconds) {
  if (pid_ <= 0) return -1;
  if (!exited_) kill(pid_, signal);
  return WaitForExit(seconds);
}

int ServiceProcess::WaitForExit(double seconds) {
  return WaitUntil(seconds, [this] { return !Running(); }) ? status_ : -1;
}

bool ServiceProcess::Running() const {
  if (pid_ <= 0 || exited_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
  return !exited_;
}
