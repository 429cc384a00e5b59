// dio-modbusd started for a test: on a board file of the test's own, on
// loopback at a port the kernel picks, with the simulated board preloaded
// on a throwaway board (so that a device left unnamed never reaches a real
// one) and under the build's emulator, if any. Standard error goes to a log
// file the test reads, or to a pipe the test reads only when it looks at the
// log, as a reader that may stall.
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
  enum class Output { kFile, kPipe };
  // Starts dio-modbusd with args, in folder dir (its log and throwaway
  // board go there). --listen 127.0.0.1:0 comes first; a --listen in args wins.
  // With kPipe its standard output and error are a pipe of one page, read
  // by Log() (and what calls it) alone.
  GatewayProcess(const std::string &dir, const std::vector<std::string> &args,
                 Output output = Output::kFile);
  ~GatewayProcess();
  GatewayProcess(const GatewayProcess &) = delete;
  GatewayProcess &operator=(const GatewayProcess &) = delete;

  // Waits for "listening on 127.0.0.1:PORT"; false when the gateway ended
  // or did not say so in time.
  bool WaitListening();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  std::string Log() const;
  // kPipe: whether the pipe the gateway writes to was made non-blocking
  // (by the gateway: the test never does).
  bool OutputNonBlocking() const;
  // Waits until the log holds text, at most seconds (stretched on a slow machine).
  bool WaitForLog(const std::string &text, double seconds) const;
  // Lines of the log holding text.
  std::vector<std::string> LogLines(const std::string &text) const;
  // The number of such lines once there are count of them, or after
  // seconds: the gateway's log is written by a thread of its own, so a line
  // may come a moment after what the test saw the gateway do.
  size_t WaitForLogLines(const std::string &text, size_t count, double seconds) const;

  // Sends signal and waits for the end: the raw wait status, or -1 when it
  // did not end in time.
  int Stop(int signal, double seconds);
  // The wait status once it ended by itself, -1 while it runs (waits at
  // most seconds).
  int WaitForExit(double seconds);
  bool Running();

 private:
  static inline int started_ = 0;
  void ReadPipe() const;

  std::string log_path_;
  int pipe_read_ = -1;
  int pipe_write_ = -1;  // kept, to see the flags the gateway's descriptor has
  mutable std::string piped_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  int port_ = 0;
};

#endif
