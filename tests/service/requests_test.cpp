// Board connections: every request answered with the board API's own
// result, a bad message answered -EPROTO and closed, --max-clients, and a
// client killed mid-request.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "board_registers.h"
#include "service_fixture.h"
#include "varnik_dio_board.h"

namespace {

using varnik::wire::Message;
namespace wire = varnik::wire;

// The board API's call for a request, on a board opened directly.
int DirectCall(vdio_board *board, const Message &request, uint32_t *state) {
  switch (request.operation) {
    case wire::kGet:
      return vdio_get(board, static_cast<int>(request.first));
    case wire::kSet:
      return vdio_set(board, static_cast<int>(request.first), static_cast<int>(request.second));
    case wire::kRead: {
      vdio_state read{};
      const int status = vdio_read(board, &read);
      *state = wire::PackState(read.inputs, read.outputs, read.leds);
      return status;
    }
    case wire::kWriteOutputs:
      return vdio_write_outputs(board, static_cast<uint8_t>(request.first),
                                static_cast<uint8_t>(request.second));
    default:
      return vdio_write_leds(board, static_cast<uint8_t>(request.first),
                             static_cast<uint8_t>(request.second));
  }
}

class RequestsTest : public ServiceTest {
 protected:
  std::vector<uint8_t> Registers() const {
    std::vector<uint8_t> bytes;
    for (uint32_t address : board::kOutput) bytes.push_back(Peek(address));
    for (uint32_t address : board::kLed) bytes.push_back(Peek(address));
    return bytes;
  }
};

TEST_F(RequestsTest, EveryRequestGetsTheBoardApisResultOnTheSameBoard) {
  Start();
  auto client = Connect();
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(board_path_.c_str(), &board), 0);
  SetInputsOnBoard(0x81);
  const std::vector<Message> requests = {
      Request(wire::kGet, VDIO_DI0),          Request(wire::kGet, VDIO_DI1),
      Request(wire::kGet, VDIO_LED3),         Request(wire::kGet, 19),
      Request(wire::kGet, 0xFFFFFFFFu),       Request(wire::kSet, VDIO_DO3, 1),
      Request(wire::kSet, VDIO_LED2, 1),      Request(wire::kSet, VDIO_DI0, 1),
      Request(wire::kSet, VDIO_DO1, 2),       Request(wire::kSet, 19, 0),
      Request(wire::kGet, VDIO_DO3),          Request(wire::kWriteOutputs, 0xF0, 0xA0),
      Request(wire::kWriteLeds, 0x5, 0x4),    Request(wire::kWriteLeds, 0x8, 0x8),
      Request(wire::kRead)};
  for (const Message &request : requests) {
    SCOPED_TRACE("operation " + std::to_string(request.operation) + " first " +
                 std::to_string(request.first) + " second " + std::to_string(request.second));
    const auto reply = client->Call(request);
    ASSERT_TRUE(reply) << service_->Log();
    EXPECT_EQ(reply->operation, request.operation);
    // What the service wrote, the board API writes again unchanged.
    const std::vector<uint8_t> after_service = Registers();
    uint32_t state = 0;
    EXPECT_EQ(reply->status, DirectCall(board, request, &state));
    EXPECT_EQ(Registers(), after_service);
    if (request.operation == wire::kRead) {
      EXPECT_EQ(reply->first, state);
    }
  }
  EXPECT_EQ(Peek(board::kOutput[3]), board::kDriven) << "DO3 set through the service";
  EXPECT_EQ(client->Call(Request(wire::kWriteOutputs, 0x100, 0))->status, -EINVAL)
      << "a mask wider than the outputs";
  vdio_close(board);
}

TEST_F(RequestsTest, ABadMessageIsAnsweredEprotoAndClosedWhileOthersAreServed) {
  Start();
  auto served = Connect("served");
  {
    WireClient other_version(socket_path_);
    const auto reply = other_version.Hello("new", wire::kProtocolVersion + 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, -EPROTO);
    EXPECT_EQ(reply->first, wire::kProtocolVersion) << "the service tells its version";
    EXPECT_TRUE(other_version.ClosedWithin(5));
  }
  {
    WireClient no_hello(socket_path_);
    EXPECT_EQ(no_hello.Call(Request(wire::kGet, 0))->status, -EPROTO);
    EXPECT_TRUE(no_hello.ClosedWithin(5));
  }
  auto short_message = Connect("short");
  ASSERT_TRUE(short_message->SendBytes({2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(short_message->Receive(5)->status, -EPROTO);
  EXPECT_TRUE(short_message->ClosedWithin(5));
  auto unknown = Connect("unknown");
  EXPECT_EQ(unknown->Call(Request(42))->status, -EPROTO);
  EXPECT_TRUE(unknown->ClosedWithin(5));

  EXPECT_EQ(served->Call(Request(wire::kGet, VDIO_DO0))->status, 0) << "still served";
  const std::string newer = std::to_string(wire::kProtocolVersion + 1);
  for (const std::string &line : {"(no hello yet) disconnected: protocol version " + newer,
                                  std::string("(no hello yet) disconnected: a request before the hello"),
                                  std::string("(short) disconnected: a message of 10 bytes, not 24"),
                                  std::string("(unknown) disconnected: unknown operation 42")}) {
    // The log is written by a thread of its own, maybe a little later.
    EXPECT_TRUE(service_->WaitForLog(line, 5)) << line << " in\n" << service_->Log();
    EXPECT_EQ(service_->LogLines(line).size(), 1u) << line << " in\n" << service_->Log();
  }
}

TEST_F(RequestsTest, BeyondMaxClientsAHelloIsRefusedAndSilentConnectionsAreClosed) {
  Start({"--max-clients", "2"});
  // Silent connections beyond the limit and its slack keep nobody out for
  // long: they are closed when their hello is overdue.
  std::vector<std::unique_ptr<WireClient>> silent;
  for (int i = 0; i < 2 + 16; ++i) silent.push_back(std::make_unique<WireClient>(socket_path_));
  WireClient refused(socket_path_);
  EXPECT_TRUE(refused.ClosedWithin(2)) << "closed at once, not when its hello is overdue";
  EXPECT_TRUE(silent.front()->ClosedWithin(10)) << "no hello within 5s";
  silent.clear();
  ASSERT_TRUE(service_->WaitForLog("disconnected: no hello within 5s", 5));

  auto first = Connect();
  auto second = Connect();
  {
    WireClient third(socket_path_);
    const auto reply = third.Hello("third");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, -EUSERS);
    EXPECT_TRUE(third.ClosedWithin(5));
  }
  EXPECT_TRUE(service_->WaitForLog("(third) disconnected: refused: --max-clients 2 reached", 5));
  first.reset();
  ASSERT_TRUE(service_->WaitForLog("(test) disconnected: closed by the client", 5));
  auto fourth = Connect("fourth");
  EXPECT_EQ(fourth->Call(Request(wire::kGet, VDIO_DO0))->status, 0);
}

// A client that sends requests without reading their replies, until killed;
// *sent counts the requests its socket took.
pid_t SpawnFloodingClient(const std::string &socket_path, volatile uint64_t *sent) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    WireClient client(socket_path);
    if (!client.Hello("flood")) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;)
      if (client.Send(Request(wire::kRead))) *sent = *sent + 1;  // blocks once the service stops reading
  }
  close(ready[1]);
  char byte = 0;
  const bool started = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return started ? pid : -1;
}

TEST_F(RequestsTest, AClientThatNeverReadsOrIsKilledMidRequestHoldsUpNobody) {
  Start();
  void *shared = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto *sent = static_cast<volatile uint64_t *>(shared);
  const pid_t flood = SpawnFloodingClient(socket_path_, sent);
  ASSERT_GT(flood, 0);
  auto other = Connect();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(other->Call(Request(wire::kSet, VDIO_DO2, static_cast<uint32_t>(i % 2))))
        << "held up by a client that does not read";
  }
  // Its requests are no longer read: the sockets' buffers fill and it waits.
  uint64_t before = 0;
  for (int wait = 0; wait < 100 && (before == 0 || before != *sent); ++wait) {
    before = *sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(SlowSeconds(0.3) * 1000)));
  }
  EXPECT_EQ(*sent, before) << "the service kept reading requests whose replies nobody reads";
  EXPECT_GT(before, 0u);
  kill(flood, SIGKILL);
  waitpid(flood, nullptr, 0);
  EXPECT_TRUE(service_->WaitForLog("(flood) disconnected", 5)) << service_->Log();
  EXPECT_EQ(other->Call(Request(wire::kGet, VDIO_DO2))->status, 1);
  auto after = Connect();
  EXPECT_EQ(after->Call(Request(wire::kGet, VDIO_DO2))->status, 1);
  munmap(shared, sizeof(uint64_t));
}

}  // namespace
