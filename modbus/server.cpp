#include "server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <modbus.h>

#include "argument_parsing.h"
#include "socket_address.h"
#include "stop_signals.h"
#include "tool_messages.h"

namespace dio_modbusd {

namespace {

constexpr uint8_t kAnyUnit = 255;
constexpr int kAcceptsPerRound = 64;
// After the process or the system ran out of descriptors, the listening
// socket stays readable: wait before trying again rather than spin.
constexpr std::chrono::milliseconds kAcceptPause{100};
// The kernel's share of a client's unread replies stays small, so that what
// the client leaves unread piles up where the gateway counts it.
constexpr int kSocketSendBuffer = 16 * 1024;
// Refused connections: the first of a burst named, then a count this often.
constexpr std::chrono::seconds kRefusalInterval{10};

// One line for the journal.
void Log(const std::string &line) { varnik::tools::PrintLine(line); }

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

// Through a service that counts the inputs, the gateway reads the board
// only to notice a lost service (and stop rather than serve without it).
constexpr std::chrono::seconds kServiceCheckInterval{1};

// Often enough for the counters, and that the service's lease never runs
// out while the loop runs.
Microseconds BoardPollInterval(const ServerSettings &settings, FigureKeeper keeper) {
  const Microseconds interval =
      keeper == FigureKeeper::kService ? kServiceCheckInterval : settings.poll_interval;
  if (!settings.lease) return interval;
  return std::min(interval, *settings.lease / 3);
}

void TuneClientSocket(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // replies are small and awaited
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketSendBuffer, sizeof kSocketSendBuffer);
}

}  // namespace

Server::Server(const ServerSettings &settings, LineIo &lines, FigureKeeper keeper, int listen_fd,
               int stop_fd)
    : settings_(settings),
      lines_(lines),
      listen_fd_(listen_fd),
      stop_fd_(stop_fd),
      keeper_(keeper),
      counters_(settings.debounce, lines.ReadInputs(), Clock::now()),
      watchdog_(settings.watchdog, Clock::now()),
      map_(lines, counters_, watchdog_, settings.read_only, settings.claimed, keeper),
      board_poll_interval_(BoardPollInterval(settings, keeper)),
      next_poll_(Clock::now() + board_poll_interval_),
      refusals_(kRefusalInterval),
      busy_writes_(kRefusalInterval) {}

bool Server::Run() {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({stop_fd_, POLLIN, 0});
    const TimePoint before = Clock::now();
    fds.push_back({before >= accept_paused_until_ ? listen_fd_ : -1, POLLIN, 0});
    for (const auto &client : clients_)
      fds.push_back({client->fd(), static_cast<short>(POLLIN | (client->unsent() ? POLLOUT : 0)), 0});
    if (poll(fds.data(), fds.size(), PollTimeoutMs(before)) < 0 && errno != EINTR) {
      // Not a stop that was asked for: the status says so, and systemd's
      // Restart=on-failure brings the gateway back.
      Stop(std::string("after a failure (poll failed: ") + std::strerror(errno) + ")");
      return false;
    }
    const TimePoint now = Clock::now();
    if (fds[0].revents != 0) break;
    CheckWatchdog(now);  // before the requests that came after its deadline feed it
    // Back to front, so that a disconnect leaves the indices before it alone;
    // clients accepted this round are served from the next one.
    for (size_t i = clients_.size(); i-- > 0;) {
      const short events = fds[2 + i].revents;
      if (events == 0) continue;
      if (const auto reason = Serve(*clients_[i], events, now)) Disconnect(i, *reason);
    }
    if (fds[1].revents != 0) AcceptClients(now);
    if (now >= next_poll_) PollBoard(now);
    CloseIdleClients(now);
    if (const auto line = refusals_.Tick(now)) Log(*line);
    if (const auto line = busy_writes_.Tick(now)) Log(*line);
  }
  Stop("on " + varnik::tools::SignalName(varnik::tools::StopSignal()));
  return true;
}

void Server::AcceptClients(TimePoint now) {
  for (int round = 0; round < kAcceptsPerRound; ++round) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        Log(std::string("cannot accept a connection: ") + std::strerror(errno));
        accept_paused_until_ = now + kAcceptPause;
      }
      return;  // EAGAIN: no more waiting; a client gone before accept: nothing to do
    }
    const std::string name = FormatAddress(reinterpret_cast<const sockaddr *>(&peer));
    if (!Allowed(settings_.allow, reinterpret_cast<const sockaddr *>(&peer))) {
      Refuse(fd, name, "not in --allow", now);
      continue;
    }
    if (clients_.size() >= settings_.max_clients) {
      Refuse(fd, name, "--max-clients " + std::to_string(settings_.max_clients) + " reached", now);
      continue;
    }
    TuneClientSocket(fd);
    clients_.push_back(std::make_unique<Connection>(fd, name, now));
    Log("client " + name + " connected (" + std::to_string(clients_.size()) + " of " +
        std::to_string(settings_.max_clients) + ")");
  }
}

void Server::Refuse(int fd, const std::string &peer, const std::string &reason, TimePoint now) {
  close(fd);
  if (const auto line = refusals_.Refused(peer, reason, now)) Log(*line);
}

std::optional<std::string> Server::Serve(Connection &client, short events, TimePoint now) {
  if (events & (POLLIN | POLLHUP | POLLERR)) {
    switch (client.Receive()) {
      case Connection::ReadResult::kClosed:
        return "closed by the client";
      case Connection::ReadResult::kFailed:
        return std::string("receive failed: ") + std::strerror(client.last_error());
      case Connection::ReadResult::kReceived:
      case Connection::ReadResult::kNothing:
        break;
    }
    MbapFrame frame;
    std::string problem;
    for (;;) {
      const FrameStatus status = client.NextFrame(&frame, &problem);
      if (status == FrameStatus::kIncomplete) break;
      if (status == FrameStatus::kMalformed) return "malformed frame: " + problem;
      AnswerFrame(client, frame, now);
      client.Consume(frame, now);
    }
  }
  if (!client.Flush()) return std::string("send failed: ") + std::strerror(client.last_error());
  if (client.unsent() > Connection::kMaxUnsentReplies) return "left 64 KiB of replies unread";
  return std::nullopt;
}

void Server::AnswerFrame(Connection &client, const MbapFrame &frame, TimePoint now) {
  Answer answer;
  if (frame.unit != settings_.unit_id && frame.unit != kAnyUnit) {
    answer.pdu = ExceptionPdu(frame.pdu[0], MODBUS_EXCEPTION_GATEWAY_TARGET);
    answer.exception = true;
  } else {
    const bool was_tripped = watchdog_.tripped();
    answer = map_.Handle(frame.pdu, frame.pdu_length);
    if (was_tripped && !watchdog_.tripped())
      Log("watchdog cleared: " + client.peer() + " wrote the outputs");
  }
  if (!answer.exception) watchdog_.Feed(now);
  if (answer.busy)
    if (const auto line = busy_writes_.Refused("a write of " + client.peer() + " (exception 0x06)", answer.held_by, now)) Log(*line);
  client.Queue(ReplyFrame(frame, answer.pdu));
  if (settings_.log_requests) LogRequest(client, frame, answer);
}

// "request 127.0.0.1:40000 transaction 7 unit 1 function 0x05: ok, outputs 0x01 leds 0x00"
void Server::LogRequest(const Connection &client, const MbapFrame &frame,
                        const Answer &answer) const {
  std::string line = "request " + client.peer() + " transaction " +
                     std::to_string(frame.transaction) + " unit " + std::to_string(frame.unit) +
                     " function " + Hex(frame.pdu[0]) + ": ";
  if (answer.exception) {
    line += "exception " + Hex(answer.pdu[1]);
  } else {
    line += "ok";
    if (answer.wrote) {
      const vdio_state state = lines_.Read();
      line += ", outputs " + Hex(state.outputs) + " leds " + Hex(state.leds);
    }
  }
  Log(line);
}

void Server::PollBoard(TimePoint now) {
  const uint8_t inputs = lines_.ReadInputs();
  if (keeper_ != FigureKeeper::kService) counters_.Update(inputs, now);
  next_poll_ += board_poll_interval_;
  if (next_poll_ <= now) next_poll_ = now + board_poll_interval_;  // late: no burst of polls
}

void Server::CheckWatchdog(TimePoint now) {
  if (!watchdog_.TripIfStarved(now)) return;
  const std::string held = WriteSafeOutputs();
  Log("watchdog tripped: no valid request for " +
      varnik::tools::FormatDuration(*settings_.watchdog) + "; outputs set to " +
      Hex(settings_.safe_outputs) + held);
}

// The safe state on every output this gateway may write: those another
// client holds keep what it gave them, and are named
// ("; DO3 is held by ..., left as it is").
std::string Server::WriteSafeOutputs() {
  if (lines_.WriteOutputs(0xFF, settings_.safe_outputs)) return "";
  std::string held;
  for (int bit = 0; bit < 8; ++bit) {
    if (lines_.WriteOutputs(static_cast<uint8_t>(1u << bit), settings_.safe_outputs)) continue;
    const auto holder = lines_.HolderOf(VDIO_DO0 + bit);
    held += "; " +
            (holder ? Describe(*holder)
                    : std::string(vdio_line_name(VDIO_DO0 + bit)) + " is held by another client") +
            ", left as it is";
  }
  return held;
}

void Server::CloseIdleClients(TimePoint now) {
  if (!settings_.idle_timeout) return;
  for (size_t i = clients_.size(); i-- > 0;)
    if (now - clients_[i]->last_frame() >= *settings_.idle_timeout)
      Disconnect(i, "no complete request for " +
                        varnik::tools::FormatDuration(*settings_.idle_timeout) +
                        " (--idle-timeout)");
}

void Server::Disconnect(size_t index, const std::string &reason) {
  // The replies to the requests before a malformed frame (or a stop) still
  // go out, as far as the socket takes them without waiting.
  clients_[index]->Flush();
  Log("client " + clients_[index]->peer() + " disconnected: " + reason);
  clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
}

int Server::PollTimeoutMs(TimePoint now) const {
  TimePoint wake = std::min(next_poll_, accept_paused_until_ > now ? accept_paused_until_ : next_poll_);
  if (const auto deadline = watchdog_.Deadline()) wake = std::min(wake, *deadline);
  if (settings_.idle_timeout)
    for (const auto &client : clients_)
      wake = std::min(wake, client->last_frame() + *settings_.idle_timeout);
  if (wake <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
  return static_cast<int>(std::min<std::chrono::milliseconds::rep>(wait.count(), 60'000));
}

void Server::Stop(const std::string &cause) {
  const std::string reason = "server stopping " + cause;
  while (!clients_.empty()) Disconnect(clients_.size() - 1, reason);
  if (const auto line = refusals_.Flush(Clock::now())) Log(*line);
  if (const auto line = busy_writes_.Flush(Clock::now())) Log(*line);
  if (watchdog_.enabled() || settings_.claimed) {
    const std::string held = WriteSafeOutputs();
    Log("stopped " + cause + "; outputs set to their safe state " + Hex(settings_.safe_outputs) +
        held);
  } else {
    Log("stopped " + cause + "; outputs left as they are");
  }
}

}  // namespace dio_modbusd
