// The service's loop: one thread, one ppoll() over the stop signal's pipe,
// the listening socket and every client, which also samples the board for
// the watchers (at the service's interval) and for outside changes (every
// 100 ms when nobody watches; the inputs' functions have a sampler thread
// of their own, input_sampler.h), writes the pulses' edges, applies the
// leases and pings systemd's watchdog. No client can hold up another: every
// socket is non-blocking, each client gets at most one message read per
// round, a board connection is not read while a reply waits for it, and a
// watcher's unread events are bounded.
#ifndef DIO_BOARDD_SERVER_H
#define DIO_BOARDD_SERVER_H

#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accept_pause.h"
#include "clear_log.h"
#include "client.h"
#include "input_sampler.h"
#include "late_samples.h"
#include "line_keeper.h"
#include "outside_changes.h"
#include "systemd_notify.h"
#include "varnik_dio_board.h"

namespace dio_boardd {

using varnik::tools::SystemdNotify;

struct ServerSettings {
  uint64_t interval_ns = 10'000'000;
  unsigned max_clients = 64;
  uint32_t device_kind = VDIO_DEVICE_BOARD_FILE;  // told in the hello's reply
  std::optional<uint8_t> stop_outputs;  // at the stop, for the outputs nobody claimed; nothing: keep
};

class Server {
 public:
  // The inputs' functions are the sampler's; their requests are answered
  // and its late samples logged here.
  Server(const ServerSettings &settings, vdio_board *board, int listen_fd, int stop_fd,
         SystemdNotify &notify, InputSampler &sampler);

  // Serves until stop_fd becomes readable on a stop signal (true) or the
  // loop itself fails (false); either way every client is disconnected.
  bool Run();

 private:
  void AcceptClients(uint64_t now);
  void CloseSilentClients(uint64_t now);
  // Why the connection must close, or nothing.
  std::optional<std::string> Serve(Client &client, short events, uint64_t now);
  std::optional<std::string> Handle(Client &client, const uint8_t *message, size_t size,
                                    uint64_t now);
  std::optional<std::string> Hello(Client &client, const uint8_t *message, size_t size);
  std::optional<std::string> StartWatch(Client &client, const varnik::wire::Message &request,
                                        uint64_t now);
  void AnswerBoardRequest(Client &client, const varnik::wire::Message &request);
  void AnswerInputRequest(Client &client, const varnik::wire::Message &request);
  void Sample(uint64_t now);
  uint64_t SampleIntervalNs() const;
  void FeedWatch(Client &client, uint32_t levels, uint64_t now);
  unsigned Served() const;
  void Disconnect(size_t index, const std::string &reason);
  timespec PollTimeout(uint64_t now) const;
  void Stop(const std::string &cause);
  uint32_t ReadLevels() const;

  ServerSettings settings_;
  vdio_board *board_;
  int listen_fd_;
  int stop_fd_;
  SystemdNotify &notify_;
  InputSampler &sampler_;
  LateSampleLog late_samples_;
  ClearLog clears_;
  OutsideChanges outside_;
  LineKeeper keeper_;
  uint64_t next_client_id_ = 1;
  uint64_t next_sample_ns_;
  std::vector<std::unique_ptr<Client>> clients_;
  AcceptPause accept_pause_;
};

}  // namespace dio_boardd

#endif
