// Who may connect and what a client may do: --read-only, --allow,
// --max-clients, --idle-timeout, and clients that misbehave, each costing
// its own connection only.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "board_registers.h"
#include "gateway_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

// A read of the input registers 0..11, framed by hand.
std::vector<uint8_t> ReadInputRegistersFrame(uint16_t transaction) {
  return {static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction), 0, 0, 0, 6, 1,
          0x04, 0x00, 0x00, 0x00, 0x0c};
}

class AccessTest : public GatewayTest {};

TEST_F(AccessTest, ReadOnlyRefusesEveryWriteWithException1AndWritesNothing) {
  Start({"--read-only"});
  auto client = Connect();
  modbus_t *mb = client->get();
  SetOutputsOnBoard(0x0f);
  const std::vector<uint8_t> before = RegisterPages();
  const uint8_t bits[2] = {1, 1};
  const uint16_t registers[2] = {0xff, 0x07};
  EXPECT_EQ(ExceptionOf(modbus_write_bit(mb, 0, 0)), 1);
  EXPECT_EQ(ExceptionOf(modbus_write_bits(mb, 8, 2, bits)), 1);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb, 0, 0xff)), 1);
  EXPECT_EQ(ExceptionOf(modbus_write_registers(mb, 0, 2, registers)), 1);
  EXPECT_EQ(ExceptionOf(modbus_write_register(mb, 2, 0xff)), 1) << "the counter reset too";
  EXPECT_EQ(RegisterPages(), before);
  uint16_t outputs = 0;
  EXPECT_EQ(modbus_read_registers(mb, 0, 1, &outputs), 1);
  EXPECT_EQ(outputs, 0x0f) << "reads are answered";
}

TEST_F(AccessTest, AllowClosesOtherAddressesWithoutAReply) {
  Start({"--allow", "10.0.0.0/8", "--allow", "127.0.0.2/32"});
  const int fd = ConnectRaw(gateway_->port());
  ASSERT_GE(fd, 0);
  SendAll(fd, ReadInputRegistersFrame(1));
  EXPECT_EQ(AwaitResponse(fd, 5), PeerResponse::kClosed);
  close(fd);
  EXPECT_TRUE(gateway_->WaitForLog("refused 127.0.0.1:", 5)) << gateway_->Log();
  EXPECT_TRUE(gateway_->LogLines("connected (").empty()) << gateway_->Log();
}

TEST_F(AccessTest, AllowAdmitsItsNetworks) {
  Start({"--allow", "10.0.0.0/8", "--allow", "127.0.0.0/30"});
  auto client = Connect();
  EXPECT_EQ(modbus_write_bit(client->get(), 4, 1), 1);
  EXPECT_EQ(OutputsOnBoard(), 0x10);
}

TEST_F(AccessTest, MaxClientsClosesFurtherConnectionsAtOnce) {
  Start({"--max-clients", "2"});
  auto first = Connect();
  auto second = Connect();
  uint16_t value = 0;
  ASSERT_EQ(modbus_read_registers(first->get(), 0, 1, &value), 1);
  ASSERT_EQ(modbus_read_registers(second->get(), 0, 1, &value), 1);
  for (int i = 0; i < 20; ++i) {
    const int further = ConnectRaw(gateway_->port());
    ASSERT_GE(further, 0);
    SendAll(further, ReadInputRegistersFrame(1));
    EXPECT_EQ(AwaitResponse(further, 5), PeerResponse::kClosed);
    close(further);
  }
  EXPECT_TRUE(gateway_->WaitForLog(": --max-clients 2 reached", 5));
  EXPECT_EQ(modbus_read_registers(first->get(), 0, 1, &value), 1) << "the first two stay served";
  first.reset();
  ASSERT_TRUE(gateway_->WaitForLog("disconnected: closed by the client", 5));
  auto fourth = Connect();
  EXPECT_EQ(modbus_read_registers(fourth->get(), 0, 1, &value), 1) << "a freed place is taken";
  // The first refusal is named, the rest counted (at the latest at the stop),
  // so that a flood of connections cannot flood the journal.
  fourth.reset();
  second.reset();
  const int status = gateway_->Stop(SIGTERM, 5);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(gateway_->LogLines("refused 127.0.0.1:").size(), 1u) << gateway_->Log();
  EXPECT_EQ(gateway_->LogLines("refused 19 more connections in the last ").size(), 1u)
      << gateway_->Log();
}

TEST_F(AccessTest, ATruncatedFrameHoldsUpNoOtherClientAndIdlesOut) {
  Start({"--idle-timeout", "1s"});
  const int stalled = ConnectRaw(gateway_->port());
  ASSERT_GE(stalled, 0);
  // A header announcing a 6-byte request, and only half of it.
  const std::vector<uint8_t> request = ReadInputRegistersFrame(1);
  std::vector<uint8_t> partial = request;
  partial.resize(9);
  ASSERT_TRUE(SendAll(stalled, partial));
  const auto connected = Clock::now();

  auto good = Connect();
  const auto start = Clock::now();
  for (int i = 0; i < 20; ++i) {
    uint16_t value = 1;
    ASSERT_EQ(modbus_write_register(good->get(), 0, static_cast<uint16_t>(i)), 1);
    ASSERT_EQ(modbus_read_registers(good->get(), 0, 1, &value), 1);
    ASSERT_EQ(value, i);
  }
  const double served = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(served, SlowMachineSeconds(0.5)) << "40 requests beside a stalled client";

  // The good client goes on asking every 100 ms while the stalled one
  // trickles in two more bytes of its frame, never the last: a byte now
  // and then must not keep a connection that sends no request.
  PeerResponse stalled_sees = PeerResponse::kSilent;
  size_t trickled = partial.size();
  while (stalled_sees == PeerResponse::kSilent &&
         std::chrono::duration<double>(Clock::now() - connected).count() < SlowMachineSeconds(5)) {
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_registers(good->get(), 0, 1, &value), 1);
    const double elapsed = std::chrono::duration<double>(Clock::now() - connected).count();
    if (trickled < request.size() - 1 && elapsed > 0.3 * static_cast<double>(trickled - 8)) {
      ASSERT_EQ(send(stalled, &request[trickled], 1, MSG_NOSIGNAL), 1);
      ++trickled;
    }
    stalled_sees = AwaitResponse(stalled, 0.1);
  }
  EXPECT_EQ(stalled_sees, PeerResponse::kClosed);
  // At least one byte came after the stall began (both, but on a slow or
  // emulated machine, where the requests before took longer).
  EXPECT_GT(trickled, partial.size());
  const double idle = std::chrono::duration<double>(Clock::now() - connected).count();
  EXPECT_GE(idle, 0.95);
  EXPECT_LT(idle, SlowMachineSeconds(1.5)) << "the idle time counts from the last request, not byte";
  close(stalled);
  EXPECT_EQ(gateway_->WaitForLogLines("disconnected: no complete request for 1s (--idle-timeout)", 1, 2), 1u)
      << "the stalled client only; log:\n"
      << gateway_->Log();
}

TEST_F(AccessTest, AMalformedHeaderCostsThatConnectionOnlyAfterTheRepliesBeforeIt) {
  Start();
  auto good = Connect();
  const std::vector<std::vector<uint8_t>> headers = {
      {0, 1, 0x12, 0x34, 0, 6, 1, 0x04, 0, 0, 0, 1},  // protocol id 0x1234
      {0, 1, 0, 0, 0, 1, 1},                          // length 1: no function code
      {0, 1, 0, 0, 0x01, 0x00, 1, 0x04},              // length 256
  };
  for (const auto &header : headers) {
    const int fd = ConnectRaw(gateway_->port());
    ASSERT_GE(fd, 0);
    SendAll(fd, header);
    EXPECT_EQ(AwaitResponse(fd, 5), PeerResponse::kClosed);
    close(fd);
    uint16_t value = 0;
    EXPECT_EQ(modbus_read_input_registers(good->get(), 0, 1, &value), 1);
  }
  // A valid write and a malformed header in one segment: the write's reply
  // still goes out before the close.
  const int fd = ConnectRaw(gateway_->port());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> segment = {0, 9, 0, 0, 0, 6, 1, 0x06, 0x00, 0x00, 0x00, 0x5a};
  segment.insert(segment.end(), headers[0].begin(), headers[0].end());
  ASSERT_EQ(send(fd, segment.data(), segment.size(), MSG_NOSIGNAL), static_cast<ssize_t>(segment.size()));
  std::vector<uint8_t> reply;
  EXPECT_EQ(AwaitResponse(fd, 5, &reply), PeerResponse::kBytes);
  EXPECT_EQ(reply, std::vector<uint8_t>(segment.begin(), segment.begin() + 12)) << "the echo of the write";
  EXPECT_EQ(AwaitResponse(fd, 5), PeerResponse::kClosed);
  close(fd);
  EXPECT_EQ(OutputsOnBoard(), 0x5a);
  EXPECT_EQ(gateway_->WaitForLogLines("disconnected: malformed frame", 4, 2), 4u) << gateway_->Log();
}

TEST_F(AccessTest, FramesInPiecesAndSeveralInOneSegmentAreAllAnswered) {
  Start();
  const int fd = ConnectRaw(gateway_->port());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> three;
  for (uint16_t t = 1; t <= 3; ++t) {
    const auto frame = ReadInputRegistersFrame(t);
    three.insert(three.end(), frame.begin(), frame.end());
  }
  for (size_t at = 0; at < three.size(); at += 5) {  // 5-byte pieces across frame bounds
    SendAll(fd, std::vector<uint8_t>(three.begin() + at,
                                     three.begin() + std::min(at + 5, three.size())));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::vector<uint8_t> replies, piece;
  while (replies.size() < 3 * 33 && AwaitResponse(fd, 5, &piece) == PeerResponse::kBytes)
    replies.insert(replies.end(), piece.begin(), piece.end());
  close(fd);
  ASSERT_EQ(replies.size(), 3u * 33) << "three replies of 7 + 2 + 24 bytes";
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(replies[33 * t + 1], t + 1) << "transaction ids echoed in order";
    EXPECT_EQ(replies[33 * t + 7], 0x04);
    EXPECT_EQ(replies[33 * t + 8], 24);
  }
}

TEST_F(AccessTest, AClientLeavingRepliesUnreadIsDisconnectedOthersAreServed) {
  Start();
  const int small = 4096;  // the client's kernel holds little of what it leaves unread
  const int fd = ConnectRaw(gateway_->port());
  ASSERT_GE(fd, 0);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  auto good = Connect();
  std::vector<uint8_t> burst;
  for (int i = 0; i < 400; ++i) {
    const auto frame = ReadInputRegistersFrame(static_cast<uint16_t>(i));
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  // 4.8 KB of requests a burst, 13 KB of replies, never read.
  size_t sent = 0;
  const auto deadline = Clock::now() + std::chrono::duration<double>(SlowMachineSeconds(20));
  bool disconnected = false;
  while (!disconnected && Clock::now() < deadline) {
    const ssize_t put = send(fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) sent += static_cast<size_t>(put);
    uint16_t value = 0;
    ASSERT_EQ(modbus_read_input_registers(good->get(), 0, 1, &value), 1)
        << "the good client is served meanwhile";
    disconnected = !gateway_->LogLines("disconnected: left 64 KiB of replies unread").empty();
  }
  close(fd);
  EXPECT_TRUE(disconnected) << "after " << sent << " bytes of requests; log:\n" << gateway_->Log();
  EXPECT_GT(sent * 33 / 12, 64u * 1024) << "not before 64 KiB of replies were due";
}

}  // namespace
