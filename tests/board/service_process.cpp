#include "service_process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);

std::string PrimaryGroup() {
  const group *own = getgrgid(getgid());
  return own != nullptr ? own->gr_name : std::to_string(getgid());
}

[[noreturn]] void RunService(const std::vector<std::string> &words,
                             const std::string &throwaway_board, const std::string &log) {
  const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(126);
  setenv("VARNIK_SIM_BOARD", throwaway_board.c_str(), 1);
  std::vector<char *> argv;
  const std::string launcher = VARNIK_TEST_LAUNCHER;
  if (!launcher.empty()) argv.push_back(const_cast<char *>(launcher.c_str()));
  for (const std::string &word : words) argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

std::string Contents(const std::string &path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

}  // namespace

std::string ServiceProcess::Start(const std::string &board_file, const std::string &socket,
                                  const std::string &throwaway_board, const std::string &log) {
  // Sampling every millisecond, as often as the watch tests' watchers ask.
  const std::vector<std::string> words = {VARNIK_DIO_BOARDD, "--device",   board_file,
                                          "--socket",        socket,       "--group",
                                          PrimaryGroup(),    "--interval", "1ms"};
  pid_ = fork();
  if (pid_ == 0) RunService(words, throwaway_board, log);
  if (pid_ < 0) return std::string("fork: ") + std::strerror(errno);
  const auto limit = std::chrono::steady_clock::now() + kStartLimit;
  for (;;) {
    const std::string said = Contents(log);
    if (said.find("serving") != std::string::npos) return "";
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return "it ended (status " + std::to_string(status) + "); it said: " + said;
    }
    if (std::chrono::steady_clock::now() > limit) {
      Stop(SIGKILL);
      return "no \"serving\" within 10 s; it said: " + said;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void ServiceProcess::Stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}
