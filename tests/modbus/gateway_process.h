// dio-modbusd started for a test: on a board file of the test's own, on
// loopback at a port the kernel picks, with the simulated board preloaded
// on a throwaway board (so that a device left unnamed never reaches a real
// one) and under the build's emulator, if any. Standard error goes to a log
// file the test reads.
#ifndef VARNIK_TESTS_GATEWAY_PROCESS_H
#define VARNIK_TESTS_GATEWAY_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// Seconds a test waits for what a slow or emulated machine may take.
double SlowMachineSeconds(double seconds);
// Whether the gateway runs under the build's emulator (qemu-user).
bool RunsUnderEmulator();

// Makes a fresh board file at path: 4 GiB, sparse, both register pages at
// their reset value 0x03 (outputs inactive, LEDs dark, inputs inactive).
void MakeBoardFile(const std::string &path);

class GatewayProcess {
 public:
  // Starts dio-modbusd with args, in folder dir (its log and throwaway
  // board go there). --listen 127.0.0.1:0 comes first; a --listen in args wins.
  GatewayProcess(const std::string &dir, const std::vector<std::string> &args);
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess &) = delete;
  GatewayProcess &operator=(const GatewayProcess &) = delete;

  // Waits for "listening on 127.0.0.1:PORT"; false when the gateway ended
  // or did not say so in time.
  bool WaitListening();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  std::string Log() const;
  // Waits until the log holds text, at most seconds (stretched on a slow machine).
  bool WaitForLog(const std::string &text, double seconds) const;
  // Lines of the log holding text.
  std::vector<std::string> LogLines(const std::string &text) const;

  // Sends signal and waits for the end: the raw wait status, or -1 when it
  // did not end in time.
  int Stop(int signal, double seconds);
  // The wait status once it ended by itself, -1 while it runs (waits at
  // most seconds).
  int WaitForExit(double seconds);
  bool Running();

 private:
  static inline int started_ = 0;
  std::string log_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int port_ = 0;
};

#endif
