// Address, net and port texts, allow-list matching and the refusal limit,
// without sockets.
#include "net/net_access.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/socket_internal.h"

namespace qmx {
namespace {

IpAddress Address(const char* text) {
  IpAddress address;
  EXPECT_TRUE(ParseIpAddress(text, &address)) << text;
  return address;
}

IpNet Net(const char* text) {
  IpNet net;
  EXPECT_TRUE(ParseIpNet(text, &net)) << text;
  return net;
}

TEST(NetAccess, AddressLiteralsAreStrict) {
  for (const char* text : {"127.0.0.1", "192.0.2.7", "::1", "::", "2001:db8::7",
                           "fe80::1%lo", "fe80::1%1", "::ffff:192.0.2.9"}) {
    IpAddress address;
    EXPECT_TRUE(ParseIpAddress(text, &address)) << text;
  }
  EXPECT_EQ(Address("192.0.2.7").family, 4);
  EXPECT_EQ(Address("::1").family, 6);
  EXPECT_NE(Address("fe80::1%lo").scopeId, 0u);
  EXPECT_EQ(FormatIpAddress(Address("fe80::1%lo")), "fe80::1%lo");
  EXPECT_EQ(FormatIpAddress(Address("2001:db8:0::7")), "2001:db8::7");
  // Host names, short and odd IPv4 forms, scopes on IPv4 or of no interface,
  // and garbage are not addresses.
  for (const char* text : {"", "localhost", "127.1", "0x7f.0.0.1", "256.0.0.1",
                           "1.2.3.4.5", "1.2.3.4%lo", "fe80::1%", "fe80::1%no-such-if0",
                           "::1 ", " ::1", "1:2:3:4:5:6:7:8:9", "::1/128", "[::1]"}) {
    IpAddress address;
    EXPECT_FALSE(ParseIpAddress(text, &address)) << "'" << text << "'";
  }
}

TEST(NetAccess, NetsMatchTheirPeersIncludingMappedIpv4) {
  const IpNet lan = Net("192.0.2.0/24");
  EXPECT_TRUE(IpNetContains(lan, Address("192.0.2.0")));
  EXPECT_TRUE(IpNetContains(lan, Address("192.0.2.255")));
  EXPECT_FALSE(IpNetContains(lan, Address("192.0.3.1")));
  // A dual-stack socket reports IPv4 peers as mapped IPv6 addresses.
  EXPECT_TRUE(IpNetContains(lan, Address("::ffff:192.0.2.9")));
  EXPECT_FALSE(IpNetContains(lan, Address("::ffff:192.0.3.9")));
  EXPECT_FALSE(IpNetContains(lan, Address("2001:db8::1")));

  const IpNet host = Net("10.0.0.1");  // a plain address is the host alone
  EXPECT_EQ(host.prefixLength, 32);
  EXPECT_TRUE(IpNetContains(host, Address("10.0.0.1")));
  EXPECT_FALSE(IpNetContains(host, Address("10.0.0.2")));

  const IpNet odd = Net("10.64.0.0/10");  // a prefix that is no whole byte
  EXPECT_TRUE(IpNetContains(odd, Address("10.127.255.255")));
  EXPECT_FALSE(IpNetContains(odd, Address("10.128.0.0")));

  const IpNet v6 = Net("2001:db8::/32");
  EXPECT_TRUE(IpNetContains(v6, Address("2001:db8:ffff::1")));
  EXPECT_FALSE(IpNetContains(v6, Address("2001:db9::1")));
  EXPECT_FALSE(IpNetContains(v6, Address("192.0.2.1")));
  EXPECT_TRUE(IpNetContains(Net("fe80::/10"), Address("fe80::1%lo")));

  EXPECT_TRUE(IpNetContains(Net("0.0.0.0/0"), Address("::ffff:1.2.3.4")));
  EXPECT_TRUE(IpNetContains(Net("::/0"), Address("::1")));
  EXPECT_FALSE(IpNetContains(Net("::/0"), Address("1.2.3.4")));

  // A net written in mapped form is the IPv4 net it maps, whichever way the
  // IPv4 peer arrives; a wider IPv6 net still matches IPv6 peers alone.
  const IpNet mapped = Net("::ffff:127.0.0.0/104");
  EXPECT_TRUE(IpNetContains(mapped, Address("127.0.0.1")));
  EXPECT_TRUE(IpNetContains(mapped, Address("::ffff:127.0.0.1")));
  EXPECT_FALSE(IpNetContains(mapped, Address("128.0.0.1")));
  EXPECT_FALSE(IpNetContains(mapped, Address("::1")));
  EXPECT_FALSE(IpNetContains(mapped, Address("::127.0.0.1")));
  EXPECT_TRUE(IpNetContains(Net("127.0.0.0/8"), Address("::ffff:127.0.0.1")));
  EXPECT_TRUE(IpNetContains(Net("::ffff:10.64.0.0/106"), Address("10.127.255.255")));
  EXPECT_FALSE(IpNetContains(Net("::ffff:10.64.0.0/106"), Address("10.128.0.0")));
  EXPECT_TRUE(IpNetContains(Net("::ffff:192.0.2.9"), Address("192.0.2.9")));
  EXPECT_TRUE(IpNetContains(Net("::ffff:0:0/96"), Address("1.2.3.4")));
  EXPECT_FALSE(IpNetContains(Net("::ffff:0:0/96"), Address("::1")));
  EXPECT_FALSE(IpNetContains(Net("::/64"), Address("1.2.3.4")));
  // The net is kept as it was written.
  EXPECT_EQ(FormatIpAddress(mapped.address), "::ffff:127.0.0.0");
  EXPECT_EQ(mapped.prefixLength, 104);

  // Host bits beyond the prefix, prefixes out of range, scopes and junk.
  for (const char* text :
       {"192.0.2.7/24", "192.0.2.0/33", "192.0.2.0/", "192.0.2.0/-1", "192.0.2.0/2x",
        "2001:db8::/129", "::ffff:127.0.0.1/104", "fe80::1%lo/128", "/24", "any"}) {
    IpNet net;
    EXPECT_FALSE(ParseIpNet(text, &net)) << text;
  }
}

TEST(NetAccess, PortTextIsAWholeNumberOrAServiceName) {
  uint16_t port = 0;
  EXPECT_TRUE(ParsePortText("1", &port));
  EXPECT_EQ(port, 1);
  EXPECT_TRUE(ParsePortText("65535", &port));
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(ParsePortText("9001", &port));
  EXPECT_EQ(port, 9001);
  for (const char* text :
       {"0", "65536", "96537", "31205x", "99999999999999999999", "", "-80", "+80", " 80",
        "80 ", "8 0", "unused", "no-such-service-name"}) {
    EXPECT_FALSE(ParsePortText(text, &port)) << "'" << text << "'";
  }
  // A name from this host's service list, whatever its number here.
  const ::servent* known = ::getservbyname("http", "tcp");
  if (known == nullptr) GTEST_SKIP() << "no 'http' in /etc/services";
  ASSERT_TRUE(ParsePortText("http", &port));
  EXPECT_EQ(port, ntohs(static_cast<uint16_t>(known->s_port)));
}

// The `i`th address of 2001:db8::/96.
IpAddress Numbered(uint32_t i) {
  IpAddress peer = Address("2001:db8::");
  peer.bytes[12] = static_cast<uint8_t>(i >> 24);
  peer.bytes[13] = static_cast<uint8_t>(i >> 16);
  peer.bytes[14] = static_cast<uint8_t>(i >> 8);
  peer.bytes[15] = static_cast<uint8_t>(i);
  return peer;
}

// Reports every peer of 0..kCapacity-1 at `now`: the table is full after.
void FillTable(RefusalLimiter* limiter, RefusalLimiter::Clock::time_point now) {
  for (uint32_t i = 0; i < RefusalLimiter::kCapacity; ++i) {
    ASSERT_TRUE(limiter->Admit(Numbered(i), now).reportPeer) << i;
  }
  ASSERT_EQ(limiter->Size(), RefusalLimiter::kCapacity);
}

TEST(NetAccess, RefusalsAreReportedOncePerPeerPerMinute) {
  using namespace std::chrono_literals;
  RefusalLimiter limiter;
  const auto t0 = RefusalLimiter::Clock::now();
  auto reported = [&](const char* peer, RefusalLimiter::Clock::time_point now) {
    const RefusalLimiter::Verdict verdict = limiter.Admit(Address(peer), now);
    EXPECT_EQ(verdict.summary, "") << peer;
    return verdict.reportPeer;
  };
  EXPECT_TRUE(reported("192.0.2.9", t0));
  EXPECT_FALSE(reported("192.0.2.9", t0 + 59s));
  // The same peer through a dual-stack socket is the same peer.
  EXPECT_FALSE(reported("::ffff:192.0.2.9", t0 + 30s));
  EXPECT_TRUE(reported("192.0.2.10", t0 + 1s));
  EXPECT_TRUE(reported("192.0.2.9", t0 + 60s));
  EXPECT_FALSE(reported("192.0.2.9", t0 + 61s));

  // Many peers at once fill the table to its bound and no further; once their
  // minute has passed, room is made again.
  RefusalLimiter full;
  FillTable(&full, t0);
  for (uint32_t i = RefusalLimiter::kCapacity; i < RefusalLimiter::kCapacity + 100; ++i) {
    EXPECT_FALSE(full.Admit(Numbered(i), t0).reportPeer);
  }
  EXPECT_EQ(full.Size(), RefusalLimiter::kCapacity);
  EXPECT_TRUE(full.Admit(Address("192.0.2.1"), t0 + 61s).reportPeer);
  EXPECT_EQ(full.Size(), 1u);
}

TEST(NetAccess, RefusalsBeyondAFullTableAreSummedUpOncePerMinute) {
  using namespace std::chrono_literals;
  RefusalLimiter limiter;
  const auto t0 = RefusalLimiter::Clock::now();
  FillTable(&limiter, t0);

  // 50 new addresses, some of them refused two or three times, over most of
  // a minute; the peers in the table are refused meanwhile too. Nothing is
  // told yet, and the table stays at its bound.
  uint64_t refusals = 0;
  for (uint32_t k = 0; k < 50; ++k) {
    const auto now = t0 + 1s + std::chrono::seconds(k);
    for (uint32_t again = 0; again <= k % 3; ++again) {
      const auto verdict = limiter.Admit(Numbered(10000 + k), now);
      EXPECT_FALSE(verdict.reportPeer);
      EXPECT_EQ(verdict.summary, "");
      ++refusals;
    }
    const auto known = limiter.Admit(Numbered(k), now);
    EXPECT_FALSE(known.reportPeer);
    EXPECT_EQ(known.summary, "");
    EXPECT_EQ(limiter.Size(), RefusalLimiter::kCapacity);
  }
  EXPECT_EQ(refusals, 99u);

  // At t0 + 60 s the table's peers may be told again, but the count began at
  // t0 + 1 s: not due yet.
  auto verdict = limiter.Admit(Numbered(0), t0 + 60s);
  EXPECT_TRUE(verdict.reportPeer);
  EXPECT_EQ(verdict.summary, "");

  // A minute after the first counted refusal, the next refusal brings the
  // summary; this one is told by its own address, not counted in it.
  verdict = limiter.Admit(Numbered(10000), t0 + 61s);
  EXPECT_TRUE(verdict.reportPeer);
  EXPECT_EQ(verdict.summary, "99 refusals from 50 more addresses");
  EXPECT_LE(limiter.Size(), RefusalLimiter::kCapacity);

  // Told once: nothing is left to tell, now or later.
  for (uint32_t k = 0; k < 50; ++k) {
    EXPECT_EQ(
        limiter.Admit(Numbered(10000 + k), t0 + 62s + std::chrono::seconds(k)).summary,
        "");
  }
  EXPECT_EQ(limiter.TakeSummary(), "");
}

TEST(NetAccess, RefusalSummaryCountsAddressesWithinABound) {
  using namespace std::chrono_literals;
  RefusalLimiter limiter;
  const auto t0 = RefusalLimiter::Clock::now();
  FillTable(&limiter, t0);
  // More distinct addresses than the summary keeps: the count of addresses
  // stops at its bound and says so, the count of refusals does not.
  const uint32_t many = RefusalLimiter::kSummaryAddressLimit + 500;
  for (uint32_t i = 0; i < many; ++i) {
    EXPECT_EQ(limiter.Admit(Numbered(100000 + i), t0 + 1s).summary, "");
  }
  EXPECT_EQ(limiter.Admit(Numbered(100000), t0 + 1s).summary, "");
  EXPECT_EQ(limiter.TakeSummary(),
            std::to_string(many + 1) + " refusals from at least " +
                std::to_string(RefusalLimiter::kSummaryAddressLimit) + " more addresses");
}

TEST(NetAccess, RefusalSummaryReachesTheListenerAndOutlivesIt) {
  SocketLayer layer;
  std::vector<std::string> texts;
  layer.TcpSetRefusalListener(
      [&texts](const std::string& text) { texts.push_back(text); });
  // The layer's one limiter, filled by reports of the same minute.
  layer.ReportRefusal(9102, Address("::ffff:192.0.2.1"));
  for (uint32_t i = 1; i < RefusalLimiter::kCapacity; ++i) {
    layer.ReportRefusal(9102, Numbered(i));
  }
  ASSERT_EQ(texts.size(), RefusalLimiter::kCapacity);
  EXPECT_EQ(texts[0], "TCP port 9102 refused 192.0.2.1");
  EXPECT_EQ(texts[1], "TCP port 9102 refused 2001:db8::1");
  layer.ReportRefusal(9103, Address("192.0.2.77"));
  layer.ReportRefusal(9102, Address("192.0.2.77"));
  layer.ReportRefusal(9102, Address("192.0.2.78"));
  EXPECT_EQ(texts.size(), RefusalLimiter::kCapacity);
  // Replacing the listener hands the pending count to the outgoing one.
  layer.TcpSetRefusalListener({});
  ASSERT_EQ(texts.size(), RefusalLimiter::kCapacity + 1);
  EXPECT_EQ(texts.back(), "3 refusals from 2 more addresses");
  layer.TcpSetRefusalListener({});
  EXPECT_EQ(texts.size(), RefusalLimiter::kCapacity + 1);
}

}  // namespace
}  // namespace qmx
