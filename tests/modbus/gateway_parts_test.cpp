// The gateway's parts whose edge cases a client cannot reach in good time:
// the counters' debounce and the summaries of refused connections and
// writes against a clock the test sets, and --allow's prefixes at their bit
// boundaries.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "address_range.h"
#include "shared_names.h"
#include "input_counters.h"
#include "refusal_log.h"
#include "varnik_dio_board.h"

namespace {

using dio_modbusd::AddressRange;
using dio_modbusd::BusyWriteLog;
using dio_modbusd::LineHolder;
using dio_modbusd::InputCounters;
using dio_modbusd::RefusalLog;
using std::chrono::milliseconds;
using std::chrono::seconds;

const dio_modbusd::TimePoint kStart{};

TEST(InputCountersTest, CountsRisingEdgesOnlyNotTheLevelsAtStartAndWraps) {
  InputCounters counters(milliseconds(0), 0x01, kStart);
  counters.Update(0x01, kStart + milliseconds(1));
  EXPECT_EQ(counters.Count(0), 0) << "active from start: no edge";
  counters.Update(0x03, kStart + milliseconds(2));
  counters.Update(0x00, kStart + milliseconds(3));
  counters.Update(0x03, kStart + milliseconds(4));
  EXPECT_EQ(counters.Count(0), 1);
  EXPECT_EQ(counters.Count(1), 2);
  for (int i = 0; i < 65535; ++i) {
    counters.Update(0x00, kStart + milliseconds(5 + 2 * i));
    counters.Update(0x02, kStart + milliseconds(6 + 2 * i));
  }
  EXPECT_EQ(counters.Count(1), 1) << "65537 edges wrap to 1";
  counters.Reset(0x02);
  EXPECT_EQ(counters.Count(1), 0);
  EXPECT_EQ(counters.Count(0), 1) << "only the inputs in the mask are reset";
}

TEST(InputCountersTest, ALevelCountsOnceItHeldTheDebounceTime) {
  InputCounters counters(milliseconds(20), 0x00, kStart);
  counters.Update(0x80, kStart + milliseconds(10));
  counters.Update(0x80, kStart + milliseconds(29));
  EXPECT_EQ(counters.Count(7), 0) << "held 19 ms";
  counters.Update(0x80, kStart + milliseconds(30));
  EXPECT_EQ(counters.Count(7), 1) << "held 20 ms";
  // A bounce back to inactive shorter than the debounce is no edge at all.
  counters.Update(0x00, kStart + milliseconds(40));
  counters.Update(0x80, kStart + milliseconds(45));
  counters.Update(0x80, kStart + milliseconds(100));
  EXPECT_EQ(counters.Count(7), 1);
  // A pulse shorter than the debounce restarts the wait when it comes again.
  counters.Update(0x00, kStart + milliseconds(110));
  counters.Update(0x00, kStart + milliseconds(140));
  counters.Update(0x80, kStart + milliseconds(150));
  counters.Update(0x00, kStart + milliseconds(160));
  counters.Update(0x80, kStart + milliseconds(165));
  counters.Update(0x80, kStart + milliseconds(180));
  EXPECT_EQ(counters.Count(7), 1) << "the level has held 15 ms since it came back";
  counters.Update(0x80, kStart + milliseconds(185));
  EXPECT_EQ(counters.Count(7), 2);
}

TEST(RefusalLogTest, TheFirstRefusalIsNamedTheRestCountedOncePerInterval) {
  RefusalLog log(seconds(10));
  EXPECT_EQ(log.Refused("10.0.0.1:4000", "not in --allow", kStart),
            "refused 10.0.0.1:4000: not in --allow");
  for (int i = 0; i < 56; ++i)
    EXPECT_EQ(log.Refused("10.0.0.2:4001", "not in --allow", kStart + seconds(1)), std::nullopt);
  EXPECT_EQ(log.Refused("127.0.0.1:4002", "--max-clients 16 reached", kStart + seconds(2)),
            std::nullopt);
  EXPECT_EQ(log.Tick(kStart + milliseconds(9999)), std::nullopt);
  EXPECT_EQ(log.Tick(kStart + seconds(10)),
            "refused 57 more connections in the last 10s (56 not in --allow, 1 --max-clients 16 "
            "reached)");
  EXPECT_EQ(log.Tick(kStart + seconds(11)), std::nullopt) << "said once";

  // While they go on, one count per interval.
  EXPECT_EQ(log.Refused("10.0.0.3:4003", "not in --allow", kStart + seconds(12)), std::nullopt);
  EXPECT_EQ(log.Tick(kStart + seconds(19)), std::nullopt);
  EXPECT_EQ(log.Tick(kStart + seconds(20)),
            "refused 1 more connection in the last 10s (1 not in --allow)");
  // A quiet interval ends the summary: the next refusal is named again.
  EXPECT_EQ(log.Tick(kStart + seconds(30)), std::nullopt);
  EXPECT_EQ(log.Refused("10.0.0.4:4004", "not in --allow", kStart + seconds(31)),
            "refused 10.0.0.4:4004: not in --allow");
  EXPECT_EQ(log.Refused("10.0.0.5:4005", "not in --allow", kStart + seconds(32)), std::nullopt);
  // A stop says what it counted so far.
  EXPECT_EQ(log.Flush(kStart + milliseconds(33420)),
            "refused 1 more connection in the last 2.4s (1 not in --allow)");
  EXPECT_EQ(log.Flush(kStart + seconds(34)), std::nullopt);
}

TEST(BusyWriteLogTest, NamedOncePerLineAndHolderTheRepeatsCountedOncePerInterval) {
  BusyWriteLog log(seconds(10));
  const LineHolder mixer{VDIO_DO2, false, 1234, "mixer"};
  EXPECT_EQ(log.Refused("a write of 127.0.0.1:4000 (exception 0x06)", mixer, kStart),
            "refused a write of 127.0.0.1:4000 (exception 0x06): DO2 is held by \"mixer\" (pid "
            "1234)");
  EXPECT_EQ(log.Refused("127.0.0.1:4001", mixer, kStart + seconds(1)), std::nullopt);
  LineHolder restarted = mixer;
  restarted.pid = 1240;
  EXPECT_NE(log.Refused("127.0.0.1:4001", restarted, kStart + seconds(2)), std::nullopt)
      << "another holder of the same line";
  EXPECT_EQ(log.Refused("a write of 127.0.0.1:4001 (exception 0x06)", LineHolder{VDIO_LED1, true, 0, ""},
                        kStart + seconds(3)),
            "refused a write of 127.0.0.1:4001 (exception 0x06): LED1 is pulsing");
  EXPECT_EQ(log.Refused("127.0.0.1:4001", mixer, kStart + seconds(4)), std::nullopt);
  EXPECT_EQ(log.Tick(kStart + milliseconds(10999)), std::nullopt);
  EXPECT_EQ(log.Tick(kStart + seconds(11)),
            "refused 2 more writes to lines held by other clients in the last 10s");
  EXPECT_EQ(log.Tick(kStart + seconds(30)), std::nullopt) << "said once";
  EXPECT_EQ(log.Refused("127.0.0.1:4001", mixer, kStart + seconds(31)), std::nullopt);
  EXPECT_EQ(log.Flush(kStart + seconds(33)),
            "refused 1 more write to lines held by other clients in the last 2s");
  EXPECT_EQ(log.Flush(kStart + seconds(34)), std::nullopt);
}

sockaddr_in V4(const char *text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

sockaddr_in6 V6(const char *text) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &address.sin6_addr);
  return address;
}

bool Contains(const AddressRange &range, const sockaddr_in &address) {
  return range.Contains(reinterpret_cast<const sockaddr *>(&address));
}
bool Contains(const AddressRange &range, const sockaddr_in6 &address) {
  return range.Contains(reinterpret_cast<const sockaddr *>(&address));
}

TEST(AddressRangeTest, PrefixesEndAtTheirBit) {
  const AddressRange net = AddressRange::Parse("--allow", "192.168.1.128/25");
  EXPECT_TRUE(Contains(net, V4("192.168.1.128")));
  EXPECT_TRUE(Contains(net, V4("192.168.1.255")));
  EXPECT_FALSE(Contains(net, V4("192.168.1.127")));
  EXPECT_FALSE(Contains(net, V4("192.168.0.200")));
  EXPECT_TRUE(Contains(net, V6("::ffff:192.168.1.200"))) << "an IPv4 client of an IPv6 socket";
  EXPECT_FALSE(Contains(net, V6("fe80::1")));
  const AddressRange host = AddressRange::Parse("--allow", "10.1.2.3");
  EXPECT_TRUE(Contains(host, V4("10.1.2.3")));
  EXPECT_FALSE(Contains(host, V4("10.1.2.2")));
  const AddressRange all = AddressRange::Parse("--allow", "0.0.0.0/0");
  EXPECT_TRUE(Contains(all, V4("203.0.113.9")));
  EXPECT_FALSE(Contains(all, V6("2001:db8::1"))) << "an IPv4 range holds no IPv6 address";
  const AddressRange v6 = AddressRange::Parse("--allow", "fd00:1234::/31");
  EXPECT_TRUE(Contains(v6, V6("fd00:1235:ffff::1")));
  EXPECT_FALSE(Contains(v6, V6("fd00:1236::1")));
  EXPECT_FALSE(Contains(v6, V4("127.0.0.1")));
}

}  // namespace
