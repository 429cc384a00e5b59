// The gateway: one thread, one poll() over the listening socket, the stop
// signal's pipe and every client, which also polls the board's inputs for
// the counters (unless the board service counts them) and watches the
// watchdog. No client can hold up another: each
// socket is non-blocking, frames are cut from each connection's own buffer,
// and each client gets at most one receive per round. Nor can the log: its
// lines go through varnik::tools::PrintLine, which main points at a queue.
#ifndef DIO_MODBUSD_SERVER_H
#define DIO_MODBUSD_SERVER_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "address_range.h"
#include "shared_names.h"
#include "connection.h"
#include "input_counters.h"
#include "input_figures.h"
#include "refusal_log.h"
#include "register_map.h"
#include "watchdog.h"

namespace dio_modbusd {

struct ServerSettings {
  uint8_t unit_id = 1;
  bool read_only = false;
  std::vector<AddressRange> allow;
  unsigned max_clients = 16;
  std::optional<Microseconds> idle_timeout;  // none: connections may stay silent
  std::optional<Microseconds> watchdog;      // none: no watchdog
  uint8_t safe_outputs = 0;
  Microseconds poll_interval{10000};
  Microseconds debounce{0};
  bool log_requests = false;
  // The outputs and LEDs are claimed through the board service: the
  // service applies the safe state when the gateway is gone, and so the
  // gateway writes it at a stop too.
  bool claimed = false;
  // The service's lease on that claim: the board is polled at least every
  // third of it, which feeds it while the loop runs.
  std::optional<Microseconds> lease;
};

class Server {
 public:
  // keeper: who counts the inputs (FindFigureKeeper).
  Server(const ServerSettings &settings, LineIo &lines, FigureKeeper keeper, int listen_fd,
         int stop_fd);

  // Serves until stop_fd becomes readable on a stop signal (true) or the
  // loop itself fails (false); either way the clients are disconnected and,
  // with a watchdog or a claim, the outputs put into their safe state.
  bool Run();

 private:
  void AcceptClients(TimePoint now);
  void Refuse(int fd, const std::string &peer, const std::string &reason, TimePoint now);
  // Why the connection must close, or nothing.
  std::optional<std::string> Serve(Connection &client, short events, TimePoint now);
  void AnswerFrame(Connection &client, const MbapFrame &frame, TimePoint now);
  void LogRequest(const Connection &client, const MbapFrame &frame, const Answer &answer) const;
  void PollBoard(TimePoint now);
  void CheckWatchdog(TimePoint now);
  std::string WriteSafeOutputs();
  void CloseIdleClients(TimePoint now);
  void Disconnect(size_t index, const std::string &reason);
  int PollTimeoutMs(TimePoint now) const;
  void Stop(const std::string &cause);

  ServerSettings settings_;
  LineIo &lines_;
  int listen_fd_;
  int stop_fd_;
  FigureKeeper keeper_;
  InputCounters counters_;
  Watchdog watchdog_;
  RegisterMap map_;
  Microseconds board_poll_interval_;
  TimePoint next_poll_;
  TimePoint accept_paused_until_;
  RefusalLog refusals_;
  BusyWriteLog busy_writes_;
  std::vector<std::unique_ptr<Connection>> clients_;
};

}  // namespace dio_modbusd

#endif
