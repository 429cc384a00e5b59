// dio-boardd started for a test: on a board file of the test's own, its
// socket in the test's folder, with the simulated board preloaded on a
// throwaway board (so that a device left unnamed never reaches a real one)
// and under the build's emulator, if any. Its log goes to a file.
#ifndef VARNIK_TESTS_SERVICE_PROCESS_H
#define VARNIK_TESTS_SERVICE_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

// Seconds a test waits for what a slow or emulated machine may take.
double SlowSeconds(double seconds);
bool UnderEmulator();

class ServiceProcess {
 public:
  // Starts dio-boardd with args and, besides the test's, the environment
  // entries env ("NAME=VALUE"); its log and throwaway board go into dir.
  ServiceProcess(const std::string &dir, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {});
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess &) = delete;
  ServiceProcess &operator=(const ServiceProcess &) = delete;

  // Waits for "serving DEVICE on SOCKET"; false when it ended or did not
  // say so in time.
  bool WaitServing() const;
  pid_t pid() const { return pid_; }

  std::string Log() const;
  std::vector<std::string> LogLines(const std::string &text) const;
  // Waits until the log holds text, at most seconds (stretched on a slow machine).
  bool WaitForLog(const std::string &text, double seconds) const;

  // Sends signal and waits for the end: the raw wait status, or -1.
  int Stop(int signal, double seconds);
  // The wait status once it ended, -1 when it still runs after seconds.
  int WaitForExit(double seconds);

 private:
  bool Running() const;

  std::string log_path_;
  pid_t pid_ = -1;
  mutable bool exited_ = false;
  mutable int status_ = 0;
};

#endif
