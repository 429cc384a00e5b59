#include "server.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "board_requests.h"
#include "claim_requests.h"
#include "clock.h"
#include "input_requests.h"
#include "stop_policy.h"
#include "stop_signals.h"
#include "tool_messages.h"

namespace dio_boardd {

namespace {

using varnik::wire::Message;

constexpr int kAcceptsPerRound = 64;
// Connections still to say hello, beyond --max-clients: a client that
// connects and says nothing cannot take every descriptor.
constexpr unsigned kHelloSlack = 16;
constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kNsPerS = 1'000'000'000;
constexpr uint64_t kLongestWaitNs = 60 * kNsPerS;
constexpr uint64_t kIdleSampleIntervalNs = 100'000'000;
// The kernel may delay a wake-up by this much to batch timers: a pulse's
// edges, due at set times, must not be 50 us late (its default).
constexpr unsigned long kTimerSlackNs = 1000;
// A connection that says no hello for this long is closed, so that silent
// ones cannot keep out the clients that would speak.
constexpr uint64_t kHelloTimeoutNs = 5'000'000'000u;

void Log(const std::string &line) { varnik::tools::PrintLine(line); }

// An error reply of the size the operation's replies have.
void QueueError(Client &client, uint16_t operation, int32_t status) {
  Message reply;
  reply.operation = operation;
  reply.status = status;
  std::vector<uint8_t> bytes(varnik::wire::ReplySize(operation));
  varnik::wire::Encode(reply, bytes.data());
  client.Queue(std::move(bytes));
}

Message Reply(uint16_t operation, int32_t status, uint32_t first = 0, uint32_t second = 0) {
  Message reply;
  reply.operation = operation;
  reply.status = status;
  reply.first = first;
  reply.second = second;
  return reply;
}

// The lines a write request may change, as a line set.
uint32_t WrittenLines(const Message &request) {
  switch (request.operation) {
    case varnik::wire::kSet:
      return request.first < VDIO_LINE_COUNT ? 1u << request.first : 0;
    case varnik::wire::kWriteOutputs:
      return (request.first & 0xFFu) << VDIO_DO0;
    case varnik::wire::kWriteLeds:
      return (request.first & 0x7u) << VDIO_LED1;
    default:
      return 0;
  }
}

// The board API's limits for a watcher, so that a watch through the
// service is refused exactly where one on the mapping is.
bool ValidWatch(const Message &request) {
  return request.first != 0 && (request.first & ~VDIO_ALL_LINES) == 0 &&
         request.second >= VDIO_WATCH_MIN_INTERVAL_US &&
         request.second <= VDIO_WATCH_MAX_INTERVAL_US &&
         request.third <= VDIO_WATCH_MAX_DEBOUNCE_US;
}

}  // namespace

Server::Server(const ServerSettings &settings, vdio_board *board, int listen_fd, int stop_fd,
               SystemdNotify &notify, InputSampler &sampler)
    : settings_(settings),
      board_(board),
      listen_fd_(listen_fd),
      stop_fd_(stop_fd),
      notify_(notify),
      sampler_(sampler),
      late_samples_(sampler.settings().interval_ns),
      outside_(ReadLevels()),
      keeper_(board, outside_),
      next_sample_ns_(MonotonicNs() + settings.interval_ns) {}

uint32_t Server::ReadLevels() const {
  vdio_state state{};
  vdio_read(board_, &state);
  return varnik::wire::PackState(state.inputs, state.outputs, state.leds);
}

bool Server::Run() {
  prctl(PR_SET_TIMERSLACK, kTimerSlackNs);
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({stop_fd_, POLLIN, 0});
    // Paused: a negative descriptor, which poll() skips, keeps the indices.
    fds.push_back({accept_pause_.Paused(MonotonicNs()) ? -1 : listen_fd_, POLLIN, 0});
    for (const auto &client : clients_) {
      // A board connection whose reply waits is not read: a client that
      // never reads its replies has them pile up in its own socket only.
      const bool reads = client->unsent() == 0 || client->phase() != Client::Phase::kBoard;
      fds.push_back({client->fd(),
                     static_cast<short>((reads ? POLLIN : 0) | (client->unsent() ? POLLOUT : 0)),
                     0});
    }
    const timespec timeout = PollTimeout(MonotonicNs());
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0 && errno != EINTR) {
      Stop(std::string("after a failure (ppoll failed: ") + std::strerror(errno) + ")");
      return false;
    }
    if (fds[0].revents != 0) break;
    const uint64_t now = MonotonicNs();
    // Back to front, so that a disconnect leaves the indices before it
    // alone; clients accepted this round are served from the next one.
    for (size_t i = clients_.size(); i-- > 0;) {
      const short events = fds[2 + i].revents;
      if (events == 0) continue;
      if (const auto reason = Serve(*clients_[i], events, now)) Disconnect(i, *reason);
    }
    if (fds[1].revents != 0) AcceptClients(now);
    CloseSilentClients(now);
    keeper_.Tick(MonotonicNs());
    if (now >= next_sample_ns_) Sample(now);
    notify_.Tick(now);
    for (const std::string &line : clears_.Tick(now)) Log(line);
  }
  Stop("on " + varnik::tools::SignalName(varnik::tools::StopSignal()));
  return true;
}

void Server::AcceptClients(uint64_t now) {
  for (int round = 0; round < kAcceptsPerRound; ++round) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (AcceptPause::IsShortage(errno))
        if (const auto line = accept_pause_.Failed(errno, now)) Log(*line);
      return;
    }
    auto client = std::make_unique<Client>(fd, next_client_id_++, now);
    if (clients_.size() >= settings_.max_clients + kHelloSlack) {
      Log("client " + client->Who() + " refused: " + std::to_string(clients_.size()) +
          " connections open (--max-clients " + std::to_string(settings_.max_clients) + ")");
      continue;
    }
    clients_.push_back(std::move(client));
  }
}

void Server::CloseSilentClients(uint64_t now) {
  for (size_t i = clients_.size(); i-- > 0;) {
    const Client &client = *clients_[i];
    if (client.phase() == Client::Phase::kHello && now - client.accepted_ns() >= kHelloTimeoutNs)
      Disconnect(i, "no hello within 5s");
    else if (client.phase() == Client::Phase::kDropped &&
             now - client.dropped_ns() >= Client::kDropGraceNs)
      Disconnect(i, "dropped, and read nothing within 5s");
  }
}

std::optional<std::string> Server::Serve(Client &client, short events, uint64_t now) {
  if (events & (POLLIN | POLLHUP | POLLERR)) {
    uint8_t message[Client::kReceiveSize];
    size_t size = 0;
    switch (client.Receive(message, &size)) {
      case Client::ReadResult::kClosed:
        return std::string("closed by the client");
      case Client::ReadResult::kFailed:
        return std::string("receive failed: ") + std::strerror(client.last_error());
      case Client::ReadResult::kNothing:
        break;
      case Client::ReadResult::kMessage:
        if (auto reason = Handle(client, message, size, now)) return reason;
        break;
    }
  }
  if (!client.Flush()) return std::string("send failed: ") + std::strerror(client.last_error());
  if (client.phase() == Client::Phase::kDropped && client.unsent() == 0)
    return std::string("dropped, told of the overflow");
  return std::nullopt;
}

std::optional<std::string> Server::Handle(Client &client, const uint8_t *message, size_t size,
                                          uint64_t now) {
  if (client.phase() == Client::Phase::kHello) return Hello(client, message, size);
  const uint16_t operation = size >= 2 ? varnik::wire::GetU16(message) : 0;
  if (client.phase() != Client::Phase::kBoard) {
    // A watch only reads: anything it sends breaks the protocol.
    return "a message of " + std::to_string(size) + " bytes on a watch connection";
  }
  keeper_.Feed(client.id(), now);  // any request shows the client alive
  const size_t expected = varnik::wire::RequestSize(operation);
  if (size != expected) {
    QueueError(client, operation, -EPROTO);
    return "a message of " + std::to_string(size) + " bytes, not " + std::to_string(expected);
  }
  const Message request = varnik::wire::Decode(message);
  if (request.operation == varnik::wire::kWatch) return StartWatch(client, request, now);
  if (IsClaimRequest(request.operation)) {
    client.Queue(keeper_.Answer(client, message, now));
    return std::nullopt;
  }
  if (IsInputRequest(request.operation)) {
    if (client.version() >= kInputFunctionsVersion) {
      AnswerInputRequest(client, request);
      return std::nullopt;
    }
    // Unknown in the client's version: refused as such, in a message of
    // that version's size.
    client.Queue(Reply(request.operation, -EPROTO));
    return "unknown operation " + std::to_string(request.operation);
  }
  if (!IsBoardRequest(request.operation)) {
    QueueError(client, request.operation, -EPROTO);
    return "unknown operation " + std::to_string(request.operation);
  }
  AnswerBoardRequest(client, request);
  return std::nullopt;
}

std::optional<std::string> Server::Hello(Client &client, const uint8_t *message, size_t size) {
  // The operation and the version are where every version puts them.
  constexpr size_t kVersionEnd = 12;
  const uint16_t operation = size >= 2 ? varnik::wire::GetU16(message) : 0;
  if (size < kVersionEnd || operation != varnik::wire::kHello) {
    client.Queue(Reply(operation, -EPROTO, varnik::wire::kProtocolVersion));
    return std::string("a request before the hello");
  }
  const uint32_t version = varnik::wire::GetU32(message + 8);
  if (version < varnik::wire::kOldestProtocolVersion || version > varnik::wire::kProtocolVersion) {
    client.Queue(Reply(varnik::wire::kHello, -EPROTO, varnik::wire::kProtocolVersion));
    return "protocol version " + std::to_string(version) + ", this service speaks " +
           std::to_string(varnik::wire::kProtocolVersion);
  }
  if (size != varnik::wire::kHelloSize) {
    client.Queue(Reply(varnik::wire::kHello, -EPROTO, varnik::wire::kProtocolVersion));
    return "a hello of " + std::to_string(size) + " bytes, not " +
           std::to_string(varnik::wire::kHelloSize);
  }
  char name[varnik::wire::kNameSize];
  varnik::wire::DecodeHelloName(message, name);
  client.set_name(name);
  client.set_version(version);
  if (Served() >= settings_.max_clients) {
    client.Queue(Reply(varnik::wire::kHello, -EUSERS, varnik::wire::kProtocolVersion));
    return "refused: --max-clients " + std::to_string(settings_.max_clients) + " reached";
  }
  client.set_phase(Client::Phase::kBoard);
  // Answered in the client's version: an older client knows no later one.
  client.Queue(Reply(varnik::wire::kHello, 0, version, settings_.device_kind));
  Log("client " + client.Who() + " connected (" + std::to_string(Served()) + " of " +
      std::to_string(settings_.max_clients) + ")");
  return std::nullopt;
}

void Server::AnswerBoardRequest(Client &client, const Message &request) {
  const uint32_t written = WrittenLines(request);
  // Through a claim, nothing is written, not even the request's other lines.
  const int32_t refused = IsWellFormedWrite(request) ? keeper_.CheckWrite(client.id(), written) : 0;
  if (refused != 0) {
    client.Queue(Reply(request.operation, refused));
    return;
  }
  const Message reply = Answer(board_, request);
  client.Queue(reply);
  if (!IsWriteRequest(request.operation) || written == 0) return;
  outside_.Written(written, ReadLevels());
  if (reply.status == 0) keeper_.Wrote(client.id(), written);
}

void Server::AnswerInputRequest(Client &client, const Message &request) {
  std::string cleared;
  client.Queue(dio_boardd::AnswerInputRequest(sampler_, client, request, &cleared));
  if (cleared.empty()) return;
  if (const auto line = clears_.Cleared(client.id(), client.Who(), cleared, MonotonicNs()))
    Log(*line);
}

std::optional<std::string> Server::StartWatch(Client &client, const Message &request,
                                              uint64_t now) {
  if (!ValidWatch(request)) {
    client.Queue(Reply(varnik::wire::kWatch, -EINVAL));
    return std::nullopt;
  }
  // A watch sends no requests: it could never feed a lease, nor release.
  if (keeper_.HeldBy(client.id()) != 0) {
    client.Queue(Reply(varnik::wire::kWatch, -EBUSY));
    return std::nullopt;
  }
  // Sampled no more often than the service samples.
  const uint64_t interval_ns =
      std::max<uint64_t>(uint64_t{request.second} * kNsPerUs, settings_.interval_ns);
  varnik::board::StartDebounce(&client.watch, request.first, interval_ns, request.third * kNsPerUs,
                               ReadLevels(), now);
  client.set_phase(Client::Phase::kWatch);
  client.KeepSendBufferSmall();
  next_sample_ns_ = std::min(next_sample_ns_, now + settings_.interval_ns);
  client.Queue(Reply(varnik::wire::kWatch, 0));
  return std::nullopt;
}

void Server::Sample(uint64_t now) {
  const uint32_t levels = ReadLevels();
  for (const std::string &line : outside_.Observe(levels, now)) Log(line);
  for (const auto &client : clients_)
    if (client->phase() == Client::Phase::kWatch) FeedWatch(*client, levels, now);
  if (const auto late = late_samples_.Observe(sampler_.Health().late_samples,
                                              sampler_.TakeRecentWorstLateNs(), now))
    Log(*late);
  const uint64_t interval_ns = SampleIntervalNs();
  next_sample_ns_ += interval_ns;
  if (next_sample_ns_ <= now) next_sample_ns_ = now + interval_ns;  // late: no burst
}

// Watchers are sampled at the service's interval; with none, only outside
// changes are looked for, which are logged, not pushed: a slower pace
// leaves the CPU to the inputs' sampler.
uint64_t Server::SampleIntervalNs() const {
  for (const auto &client : clients_)
    if (client->phase() == Client::Phase::kWatch) return settings_.interval_ns;
  return std::max(settings_.interval_ns, kIdleSampleIntervalNs);
}

void Server::FeedWatch(Client &client, uint32_t levels, uint64_t now) {
  varnik::board::LineDebounce &watch = client.watch;
  // Due at the service's sample nearest to its own interval.
  if (now + settings_.interval_ns / 2 < watch.last_sample_ns + watch.interval_ns) return;
  varnik::board::Observe(&watch, levels, now);
  vdio_event event{};
  while (varnik::board::TakeEvent(&watch, &event)) {
    if (client.unsent() >= Client::kMaxQueuedEvents) {
      client.Drop(Reply(varnik::wire::kOverflow, 0), now);
      Log("watcher " + client.Who() + " stopped reading: dropped after " +
          std::to_string(Client::kMaxQueuedEvents) + " unread events");
      return;
    }
    Message message = Reply(varnik::wire::kEvent, 0, static_cast<uint32_t>(event.line),
                            static_cast<uint32_t>(event.value));
    message.third = event.timestamp_ns;
    client.Queue(message);
  }
  client.Flush();  // at once, rather than after the next poll
}

// A dropped watcher is on its way out: its slot is free for another.
unsigned Server::Served() const {
  unsigned served = 0;
  for (const auto &client : clients_)
    if (client->phase() == Client::Phase::kBoard || client->phase() == Client::Phase::kWatch)
      ++served;
  return served;
}

void Server::Disconnect(size_t index, const std::string &reason) {
  // A last reply (an error before closing) still goes out, as far as the
  // socket takes it without waiting.
  clients_[index]->Flush();
  keeper_.EndClaims(clients_[index]->id(), reason);
  if (const auto clears = clears_.Gone(clients_[index]->id(), MonotonicNs())) Log(*clears);
  Log("client " + clients_[index]->Who() + " disconnected: " + reason);
  clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
}

timespec Server::PollTimeout(uint64_t now) const {
  uint64_t wake = next_sample_ns_;
  if (const auto ping = notify_.NextPingNs()) wake = std::min(wake, *ping);
  if (accept_pause_.Paused(now)) wake = std::min(wake, accept_pause_.resume_ns());
  if (const auto keeper = keeper_.NextWakeNs()) wake = std::min(wake, *keeper);
  for (const auto &client : clients_)
    if (client->phase() == Client::Phase::kHello)
      wake = std::min(wake, client->accepted_ns() + kHelloTimeoutNs);
    else if (client->phase() == Client::Phase::kDropped)
      wake = std::min(wake, client->dropped_ns() + Client::kDropGraceNs);
  // In nanoseconds, not poll()'s milliseconds: a pulse's edges need better.
  const uint64_t wait_ns = wake <= now ? 0 : std::min<uint64_t>(wake - now, kLongestWaitNs);
  return timespec{static_cast<time_t>(wait_ns / kNsPerS), static_cast<long>(wait_ns % kNsPerS)};
}

void Server::Stop(const std::string &cause) {
  const std::string reason = "service stopping " + cause;
  // First the claims' own safe values, then the pulses left, then the
  // outputs nobody claimed: a claimed line is never given the stop's level.
  const uint32_t claimed = keeper_.Claimed();
  for (const auto &client : clients_) keeper_.EndClaims(client->id(), reason);
  keeper_.FinishPulses();
  const std::string outputs = ApplyStopOutputs(board_, settings_.stop_outputs, claimed);
  while (!clients_.empty()) Disconnect(clients_.size() - 1, reason);
  Log("stopped " + cause + "; " + outputs);
}

}  // namespace dio_boardd
