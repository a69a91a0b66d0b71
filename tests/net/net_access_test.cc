// Address, net and port texts, allow-list matching and the refusal limit,
// without sockets.
#include "net/net_access.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <chrono>
#include <string>

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

  // Host bits beyond the prefix, prefixes out of range, scopes and junk.
  for (const char* text :
       {"192.0.2.7/24", "192.0.2.0/33", "192.0.2.0/", "192.0.2.0/-1", "192.0.2.0/2x",
        "2001:db8::/129", "fe80::1%lo/128", "/24", "any"}) {
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

TEST(NetAccess, RefusalsAreReportedOncePerPeerPerMinute) {
  using namespace std::chrono_literals;
  RefusalLimiter limiter;
  const auto t0 = RefusalLimiter::Clock::now();
  EXPECT_TRUE(limiter.Admit(Address("192.0.2.9"), t0));
  EXPECT_FALSE(limiter.Admit(Address("192.0.2.9"), t0 + 59s));
  // The same peer through a dual-stack socket is the same peer.
  EXPECT_FALSE(limiter.Admit(Address("::ffff:192.0.2.9"), t0 + 30s));
  EXPECT_TRUE(limiter.Admit(Address("192.0.2.10"), t0 + 1s));
  EXPECT_TRUE(limiter.Admit(Address("192.0.2.9"), t0 + 60s));
  EXPECT_FALSE(limiter.Admit(Address("192.0.2.9"), t0 + 61s));

  // Many peers at once fill the table to its bound and no further; once their
  // minute has passed, room is made again.
  RefusalLimiter full;
  for (uint32_t i = 0; i < RefusalLimiter::kCapacity + 100; ++i) {
    IpAddress peer = Address("2001:db8::");
    peer.bytes[12] = static_cast<uint8_t>(i >> 24);
    peer.bytes[13] = static_cast<uint8_t>(i >> 16);
    peer.bytes[14] = static_cast<uint8_t>(i >> 8);
    peer.bytes[15] = static_cast<uint8_t>(i);
    EXPECT_EQ(full.Admit(peer, t0), i < RefusalLimiter::kCapacity);
  }
  EXPECT_EQ(full.Size(), RefusalLimiter::kCapacity);
  EXPECT_TRUE(full.Admit(Address("192.0.2.1"), t0 + 61s));
  EXPECT_EQ(full.Size(), 1u);
}

}  // namespace
}  // namespace qmx
