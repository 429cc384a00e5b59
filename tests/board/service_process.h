// The board service (dio-boardd of this build) started for one test on a
// board file and a socket of the test's own, and stopped after it.
#ifndef VARNIK_TESTS_SERVICE_PROCESS_H
#define VARNIK_TESTS_SERVICE_PROCESS_H

#include <sys/types.h>

#include <string>

class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess() { Stop(); }
  ServiceProcess(const ServiceProcess &) = delete;
  ServiceProcess &operator=(const ServiceProcess &) = delete;

  // Starts the service on board_file, serving socket to the caller's primary
  // group, its standard error into log; its own simulated board (under the
  // preload) is throwaway_board. Returns "" once it said "serving", or why
  // it did not (with what it said).
  std::string Start(const std::string &board_file, const std::string &socket,
                    const std::string &throwaway_board, const std::string &log);

  // Ends it with signal (SIGTERM: as its unit stops it) and waits for it.
  void Stop(int signal = 15);

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

#endif
