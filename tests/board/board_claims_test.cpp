// Claims, pulses and who holds a line, seen from the board library: refused
// on a board opened directly, checked before anything is sent, and sent and
// read back field by field against a stand-in service.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "board_fixture.h"
#include "fake_service.h"
#include "varnik_dio_board.h"

namespace {

namespace wire = varnik::wire;
using wire::Message;

struct vdio_claim ValidClaim() {
  struct vdio_claim claim {};
  claim.size = sizeof claim;
  claim.lines = 1u << VDIO_DO0 | 1u << VDIO_LED2;
  claim.safe_values = 1u << VDIO_LED2;
  claim.flags = VDIO_CLAIM_KEEP;
  claim.lease_ms = 2500;
  std::strcpy(claim.consumer, "mixer");
  return claim;
}

vdio_claim_info EmptyInfo() {
  vdio_claim_info info{};
  info.size = sizeof info;
  return info;
}

class ClaimsTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    socket_path_ = dir_ + "/board.sock";
  }

  std::string socket_path_;
};

TEST_F(ClaimsTest, ABoardOpenedDirectlyHasNobodyToKeepAClaim) {
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(board_path_.c_str(), &board), 0);
  const struct vdio_claim claim = ValidClaim();
  vdio_claim_info info = EmptyInfo();
  EXPECT_EQ(vdio_claim(board, &claim), -EOPNOTSUPP);
  EXPECT_EQ(vdio_release(board, claim.lines), -EOPNOTSUPP);
  EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, 1, 0), -EOPNOTSUPP);
  EXPECT_EQ(vdio_get_claim(board, VDIO_DO0, &info), -EOPNOTSUPP);
  EXPECT_EQ(vdio_claim(nullptr, &claim), -EINVAL);
  EXPECT_EQ(vdio_release(nullptr, claim.lines), -EINVAL);
  EXPECT_EQ(vdio_pulse(nullptr, VDIO_DO0, 1000, 1, 0), -EINVAL);
  EXPECT_EQ(vdio_get_claim(nullptr, VDIO_DO0, &info), -EINVAL);
  vdio_close(board);
}

// Every bad argument is refused by the library itself: the stand-in sees
// none of them, only the valid requests that follow, byte for byte.
TEST_F(ClaimsTest, BadArgumentsNeverReachTheServiceAndGoodOnesArriveWhole) {
  std::vector<std::vector<uint8_t>> received;  // read once the stand-in is gone
  const struct vdio_claim claim = ValidClaim();
  {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
      FakeService::Send(connection, FakeService::HelloAnswer());
      for (std::vector<uint8_t> request;
           !(request = FakeService::ReceiveBytes(connection)).empty();) {
        received.push_back(request);
        Message reply = wire::Decode(request.data());
        reply.status = 0;
        FakeService::Send(connection, reply);
      }
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);

    const auto refused = [&](void (*spoil)(struct vdio_claim &)) {
      struct vdio_claim claim = ValidClaim();
      spoil(claim);
      return vdio_claim(board, &claim);
    };
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.size -= 1; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.lines = 0; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.lines |= 1u << VDIO_DI7; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.lines |= 1u << VDIO_LINE_COUNT; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.safe_values |= 1u << VDIO_DO1; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.flags = 2; }), -EINVAL);
  EXPECT_EQ(refused([](struct vdio_claim &c) { c.lease_ms = VDIO_CLAIM_MIN_LEASE_MS - 1; }),
            -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { c.consumer[1] = '\n'; }), -EINVAL);
    EXPECT_EQ(refused([](struct vdio_claim &c) { std::memset(c.consumer, 'x', 32); }), -EINVAL);
    EXPECT_EQ(vdio_claim(board, nullptr), -EINVAL);
    EXPECT_EQ(vdio_release(board, 0), -EINVAL);
    EXPECT_EQ(vdio_release(board, 1u << VDIO_DI0), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DI0, 1000, 1, 0), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 0, 1, 0), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, VDIO_PULSE_MAX_WIDTH_US + 1, 1, 0), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, 0, 0), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, VDIO_PULSE_MAX_COUNT + 1, 5000), -EINVAL);
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, 2, 1000), -EINVAL) << "no gap between pulses";
    EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, 2, VDIO_PULSE_MAX_PERIOD_US + 1), -EINVAL);
  EXPECT_EQ(vdio_pulse(board, VDIO_DO0, 1000, 3601, 1000000), -EINVAL) << "a train of over 1 h";
    vdio_claim_info info = EmptyInfo();
    info.size = 8;
    EXPECT_EQ(vdio_get_claim(board, VDIO_DO0, &info), -EINVAL);
    info.size = sizeof info;
    EXPECT_EQ(vdio_get_claim(board, VDIO_LINE_COUNT, &info), -EINVAL);
    EXPECT_EQ(vdio_get_claim(board, VDIO_DO0, nullptr), -EINVAL);

    EXPECT_EQ(vdio_claim(board, &claim), 0);
    EXPECT_EQ(vdio_pulse(board, VDIO_LED3, 500, 3, 2000), 0);
    EXPECT_EQ(vdio_release(board, claim.lines), 0);
    vdio_close(board);
  }

  ASSERT_EQ(received.size(), 3u) << "a bad argument reached the service";
  ASSERT_EQ(received[0].size(), wire::kClaimSize);
  const Message sent_claim = wire::Decode(received[0].data());
  EXPECT_EQ(sent_claim.operation, wire::kClaim);
  EXPECT_EQ(sent_claim.first, claim.lines);
  EXPECT_EQ(sent_claim.second, claim.safe_values);
  EXPECT_EQ(sent_claim.third, VDIO_CLAIM_KEEP | uint64_t{2500} << 32);
  EXPECT_STREQ(reinterpret_cast<const char *>(received[0].data() + wire::kMessageSize), "mixer");
  ASSERT_EQ(received[1].size(), wire::kPulseSize);
  const Message sent_pulse = wire::Decode(received[1].data());
  EXPECT_EQ(sent_pulse.first, unsigned{VDIO_LED3});
  EXPECT_EQ(sent_pulse.second, 3u);
  EXPECT_EQ(sent_pulse.third, 500u);
  EXPECT_EQ(wire::GetU64(received[1].data() + wire::kMessageSize), 2000u);
  ASSERT_EQ(received[2].size(), wire::kMessageSize);
  EXPECT_EQ(wire::Decode(received[2].data()).first, claim.lines);
}

// Who holds a line, as the service tells it; a description that is no
// answer (a status beyond "held", a flag this library does not know, the
// wrong size) is -EPROTO, never a half-filled one.
TEST_F(ClaimsTest, AClaimsDescriptionIsReadWholeOrRefused) {
  const auto answer = [](int32_t status, uint64_t flags, size_t size) {
    Message reply;
    reply.operation = wire::kGetClaim;
    reply.status = status;
    reply.first = 4321;
    reply.second = 2000;
    reply.third = flags;
    std::vector<uint8_t> bytes(wire::kClaimInfoSize);
    wire::Encode(reply, bytes.data());
    wire::PutName(bytes.data() + wire::kMessageSize, "mixer\x01");
    bytes.resize(size);
    return bytes;
  };
  const std::vector<std::vector<uint8_t>> script = {
      answer(1, VDIO_CLAIM_INFO_SAFE_VALUE | VDIO_CLAIM_INFO_LEASE_OUT, wire::kClaimInfoSize),
      answer(0, VDIO_CLAIM_INFO_PULSING | VDIO_CLAIM_INFO_MINE, wire::kClaimInfoSize),
      answer(2, 0, wire::kClaimInfoSize)};
  FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
    FakeService::Send(connection, FakeService::HelloAnswer());
    for (const auto &reply : script) {
      FakeService::Receive(connection);
      FakeService::SendBytes(connection, reply);
    }
    FakeService::AwaitClose(connection, 5);
  });
  vdio_board *board = nullptr;
  ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
  vdio_claim_info info = EmptyInfo();
  ASSERT_EQ(vdio_get_claim(board, VDIO_DO1, &info), 1);
  EXPECT_EQ(info.size, sizeof info);
  EXPECT_EQ(info.flags, VDIO_CLAIM_INFO_SAFE_VALUE | VDIO_CLAIM_INFO_LEASE_OUT);
  EXPECT_EQ(info.pid, 4321);
  EXPECT_EQ(info.lease_ms, 2000u);
  EXPECT_STREQ(info.consumer, "mixer?") << "the service's bytes are made safe to print";

  ASSERT_EQ(vdio_get_claim(board, VDIO_DO1, &info), 0);
  EXPECT_EQ(info.flags, VDIO_CLAIM_INFO_PULSING) << "nobody's line says no more than pulsing";
  EXPECT_EQ(info.pid, 0);
  EXPECT_STREQ(info.consumer, "");

  EXPECT_EQ(vdio_get_claim(board, VDIO_DO1, &info), -EPROTO);
  vdio_close(board);
}

TEST_F(ClaimsTest, ADescriptionWithUnknownFlagsOrOfAnotherSizeIsEPROTO) {
  for (const auto &[flags, size] :
       {std::pair<uint64_t, size_t>{1u << 5, wire::kClaimInfoSize}, {0, wire::kMessageSize}}) {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &) {
      FakeService::Send(connection, FakeService::HelloAnswer());
      Message reply = FakeService::Receive(connection);
      reply.status = 1;
      reply.third = flags;
      std::vector<uint8_t> bytes(wire::kClaimInfoSize);
      wire::Encode(reply, bytes.data());
      bytes.resize(size);
      FakeService::SendBytes(connection, bytes);
      FakeService::AwaitClose(connection, 5);
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
    vdio_claim_info info = EmptyInfo();
    EXPECT_EQ(vdio_get_claim(board, VDIO_DO1, &info), -EPROTO) << "flags " << flags;
    EXPECT_EQ(info.pid, 0) << "filled from a reply it refused";
    vdio_close(board);
  }
}

}  // namespace

// A service of the version before claims (one not restarted since an
// upgrade) refuses this library's hello: the library connects again in
// that version, and everything but claims works through it.
TEST_F(ClaimsTest, AServiceOfTheVersionBeforeClaimsServesAllButClaims) {
  std::vector<uint32_t> hellos;  // read once the stand-in is gone
  {
    FakeService service(socket_path_, [&](int connection, const std::vector<uint8_t> &hello) {
      const uint32_t version = hello.size() >= 12 ? wire::GetU32(hello.data() + 8) : 0;
      hellos.push_back(version);
      Message answer = FakeService::HelloAnswer(1);
      if (version != 1) {
        answer.status = -EPROTO;
        FakeService::Send(connection, answer);
        return;
      }
      FakeService::Send(connection, answer);
      Message reply = FakeService::Receive(connection);
      reply.status = 1;  // DO0 is driven
      FakeService::Send(connection, reply);
      FakeService::AwaitClose(connection, 5);
    });
    vdio_board *board = nullptr;
    ASSERT_EQ(vdio_open(socket_path_.c_str(), &board), 0);
    EXPECT_EQ(vdio_get(board, VDIO_DO0), 1);
    const struct vdio_claim claim = ValidClaim();
    EXPECT_EQ(vdio_claim(board, &claim), -EOPNOTSUPP) << "nothing sent: the service knows none";
    vdio_close(board);
  }
  EXPECT_EQ(hellos, (std::vector<uint32_t>{wire::kProtocolVersion, 1}));
}
