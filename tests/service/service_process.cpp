#include "service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
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

// Only what is safe between fork and exec: the child of a multi-threaded
// test may run no more.
[[noreturn]] void ExecDyingWithParent(pid_t parent, char *const *argv, char *const *envp,
                                      const char *log_path) {
  // Killed with the test, even when the test crashes before its cleanup.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int log = open(log_path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
  if (input < 0 || log < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(log, STDOUT_FILENO) < 0 ||
      dup2(log, STDERR_FILENO) < 0)
    _exit(127);
  execve(argv[0], argv, envp);
  _exit(127);
}

pid_t SpawnDyingWithParent(const std::vector<char *> &argv, const std::vector<char *> &envp,
                           const std::string &log_path) {
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child == 0) ExecDyingWithParent(parent, argv.data(), envp.data(), log_path.c_str());
  return child;
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

  std::vector<char *> argv = Pointers(argv_strings);
  std::vector<char *> envp = Pointers(env_strings);
  pid_ = SpawnDyingWithParent(argv, envp, log_path_);
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
