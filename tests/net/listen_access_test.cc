// Where lines listen and who may use them, over real loopback sockets:
// listen addresses, the dual-stack default, allow-lists with their refusal
// reports, and keep-alive on accepted clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "net/net_access.h"
#include "net/net_test_support.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

using namespace std::chrono_literals;
using namespace net_test;

// A connected client socket to `address`:`port`, its source bound to
// `source` when given, or -1. Reads and writes give up after 10 s.
int ConnectTo(const char* address, int port, const char* source = nullptr) {
  const bool v6 = std::string(address).find(':') != std::string::npos;
  ::sockaddr_storage to{};
  ::socklen_t length = 0;
  if (v6) {
    auto* a = reinterpret_cast<::sockaddr_in6*>(&to);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET6, address, &a->sin6_addr);
    length = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<::sockaddr_in*>(&to);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &a->sin_addr);
    length = sizeof(*a);
  }
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  if (source != nullptr) {
    ::sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    if (::bind(fd, reinterpret_cast<::sockaddr*>(&from), sizeof(from)) != 0) {
      ::close(fd);
      return -1;
    }
  }
  if (::connect(fd, reinterpret_cast<::sockaddr*>(&to), length) == 0) return fd;
  ::close(fd);
  return -1;
}

// True when this host can bind ::1 (IPv6 tests skip otherwise).
bool HaveIpv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  ::sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<::sockaddr*>(&a), sizeof(a)) == 0;
  ::close(fd);
  return ok;
}

// True when the server closed the connection (end of stream or reset)
// rather than the read timing out.
bool ClosedByServer(int fd) {
  char byte = 0;
  const ssize_t n = ::recv(fd, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

IpAddress Address(const char* text) {
  IpAddress address;
  EXPECT_TRUE(ParseIpAddress(text, &address));
  return address;
}

IpNet Net(const char* text) {
  IpNet net;
  EXPECT_TRUE(ParseIpNet(text, &net));
  return net;
}

bool Listening(const char* address, int port) {
  const int fd = ConnectTo(address, port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

long OpenDescriptors() {
  return static_cast<long>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

class ListenAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTraceSink([this](std::string_view message) { trace.Add(message); });
    OpenLineQueues();
    Sockets().TcpSetRefusalListener([this](const std::string& text) {
      std::lock_guard lock(reportMutex);
      reports.push_back(text);
    });
    ASSERT_EQ(Sockets().TcpStartup(&error), 1);
  }
  void TearDown() override {
    Sockets().TcpCleanup(&error);
    Sockets().TcpSetListenAddresses({});
    Sockets().TcpSetAllowLists({}, {}, false);
    Sockets().TcpSetRefusalListener({});
    SetTraceSink({});
    CloseLineQueues();
  }
  int Listen(int line) {
    const int port = FreeTcpPort();
    CopyField(Sockets().tcpLines[line].port, std::to_string(port));
    EXPECT_EQ(Sockets().TcpSocket(line, &error), 1) << error;
    EXPECT_EQ(Sockets().TcpListen(line, &error), 1) << error;
    return port;
  }
  std::vector<std::string> Reports() {
    std::lock_guard lock(reportMutex);
    return reports;
  }
  TraceLog trace;
  int error = 0;
  std::mutex reportMutex;
  std::vector<std::string> reports;
};

TEST_F(ListenAccessTest, LinesListenOnlyOnTheGivenAddresses) {
  const long before = OpenDescriptors();
  Sockets().TcpSetListenAddresses({Address("127.0.0.1")});
  const int port = Listen(1);
  int client = ConnectTo("127.0.0.1", port);
  ASSERT_GE(client, 0);
  EXPECT_EQ(ConnectTo("127.0.0.2", port), -1);  // another loopback address
  if (HaveIpv6Loopback()) {
    EXPECT_EQ(ConnectTo("::1", port), -1);
  }
  ::close(client);
  EXPECT_EQ(Sockets().TcpDisconnect(1, &error), 1);

  if (!HaveIpv6Loopback()) GTEST_SKIP() << "::1 cannot be bound here";
  // Two addresses: two listening sockets feeding one line; the disconnect
  // wakes the thread waiting on both and closes each once.
  Sockets().TcpSetListenAddresses({Address("127.0.0.1"), Address("::1")});
  const int both = Listen(2);
  EXPECT_EQ(Sockets().tcpLines[2].moreSockets.size(), 1u);
  int v4 = ConnectTo("127.0.0.1", both);
  ASSERT_GE(v4, 0);
  SendText(v4, "4");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[1].Count() == 1; }));
  ::close(v4);
  int v6 = ConnectTo("::1", both);
  ASSERT_GE(v6, 0);
  SendText(v6, "6");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[1].Count() == 2; }));
  EXPECT_EQ(trace.Count("DataServer2 accepted something"), 2);
  ::close(v6);
  EXPECT_EQ(Sockets().TcpDisconnect(2, &error), 1);
  EXPECT_TRUE(Sockets().tcpLines[2].moreSockets.empty());
  EXPECT_EQ(ConnectTo("127.0.0.1", both), -1);
  EXPECT_EQ(ConnectTo("::1", both), -1);
  EXPECT_EQ(OpenDescriptors(), before);

  // One address that cannot be bound fails the line, keeping nothing open
  // but the line's own socket until it is disconnected.
  int blocker = 0;
  int busy = RawListener(&blocker);  // 127.0.0.1:blocker is taken
  CopyField(Sockets().tcpLines[3].port, std::to_string(blocker));
  Sockets().TcpSetListenAddresses({Address("::1"), Address("127.0.0.1")});
  ASSERT_EQ(Sockets().TcpSocket(3, &error), 1);
  EXPECT_EQ(Sockets().TcpListen(3, &error), 0);
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_TRUE(Sockets().tcpLines[3].moreSockets.empty());
  EXPECT_FALSE(Listening("::1", blocker));  // the address that did bind is let go
  EXPECT_EQ(Sockets().TcpDisconnect(3, &error), 1);
  ::close(busy);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(ListenAccessTest, DefaultReachesTheLineOverIpv4AndIpv6) {
  const int port = Listen(1);
  int v4 = ConnectTo("127.0.0.1", port);
  ASSERT_GE(v4, 0);
  SendText(v4, "a");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[0].Count() == 1; }));
  ::close(v4);
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "::1 cannot be bound here";
  int v6 = ConnectTo("::1", port);
  ASSERT_GE(v6, 0);
  SendText(v6, "b");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[0].Count() == 2; }));
  EXPECT_TRUE(Sockets().tcpLines[1].moreSockets.empty());  // one socket takes both
  ::close(v6);
}

TEST_F(ListenAccessTest, StrangersAreTurnedAwayBeforeTheyTakeTheLine) {
  Sockets().TcpSetAllowLists({Net("127.0.0.2/32")}, {Net("127.0.0.3")}, true);
  const int data = Listen(1);
  const int control = Listen(0);

  // 127.0.0.1 is outside the list: closed at once, nothing it sent queued,
  // and the line keeps its place free.
  int stranger = ConnectTo("127.0.0.1", data);
  ASSERT_GE(stranger, 0);
  (void)::send(stranger, "x", 1, MSG_NOSIGNAL);
  EXPECT_TRUE(ClosedByServer(stranger));
  ::close(stranger);
  int again = ConnectTo("127.0.0.1", data);  // refused again, not reported again
  ASSERT_GE(again, 0);
  EXPECT_TRUE(ClosedByServer(again));
  ASSERT_TRUE(trace.WaitFor("DataServer1 refused 127.0.0.1", 2));
  EXPECT_EQ(Sockets().TcpClientFd(1), -1);

  int allowed = ConnectTo("127.0.0.1", data, "127.0.0.2");
  ASSERT_GE(allowed, 0);
  SendText(allowed, "ok");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[0].Count() == 2; }));
  EXPECT_EQ(trace.Count("DataServer1 accepted something"), 1);
  ::close(again);

  // The control line has its own list, which replaces the general one: a
  // data user is no operator, and a refused client gets no greeting.
  int user = ConnectTo("127.0.0.1", control, "127.0.0.2");
  ASSERT_GE(user, 0);
  EXPECT_TRUE(ClosedByServer(user));
  ::close(user);
  int operatorClient = ConnectTo("127.0.0.1", control, "127.0.0.3");
  ASSERT_GE(operatorClient, 0);
  ASSERT_TRUE(
      WaitFor([] { return Table().cmdQueue.Count() == 1; }));  // only this one's marker
  EXPECT_EQ(trace.Count("ControlServer1 refused 127.0.0.2"), 1);

  EXPECT_EQ(Reports(),
            (std::vector<std::string>{
                "TCP port " + std::to_string(data) + " refused 127.0.0.1",
                "TCP port " + std::to_string(control) + " refused 127.0.0.2"}));
  ::close(operatorClient);
  ::close(allowed);
}

TEST_F(ListenAccessTest, MappedNetsAdmitIpv4Clients) {
  // Line 1 on the default socket (dual-stack where the host has IPv6, so
  // the client arrives as ::ffff:127.0.0.1), line 2 on an IPv4 socket.
  Sockets().TcpSetAllowLists({Net("::ffff:127.0.0.0/104")}, {}, false);
  const int dual = Listen(1);
  Sockets().TcpSetListenAddresses({Address("127.0.0.1")});
  const int v4only = Listen(2);
  int first = ConnectTo("127.0.0.1", dual);
  ASSERT_GE(first, 0);
  SendText(first, "a");
  int second = ConnectTo("127.0.0.1", v4only);
  ASSERT_GE(second, 0);
  SendText(second, "b");
  ASSERT_TRUE(WaitFor(
      [] { return Table().txQueue[0].Count() == 1 && Table().txQueue[1].Count() == 1; }));

  // A mapped host net admits that host alone.
  Sockets().TcpSetAllowLists({Net("::ffff:127.0.0.2/128")}, {}, false);
  const int narrow = Listen(3);
  int stranger = ConnectTo("127.0.0.1", narrow);
  ASSERT_GE(stranger, 0);
  EXPECT_TRUE(ClosedByServer(stranger));
  int allowed = ConnectTo("127.0.0.1", narrow, "127.0.0.2");
  ASSERT_GE(allowed, 0);
  SendText(allowed, "c");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[2].Count() == 1; }));
  EXPECT_EQ(trace.Count("DataServer3 accepted something"), 1);
  ::close(stranger);
  ::close(allowed);
  ::close(second);
  ::close(first);
}

TEST_F(ListenAccessTest, AcceptedClientsProbeForVanishedPeers) {
  const int port = Listen(1);
  int client = ConnectTo("127.0.0.1", port);
  ASSERT_GE(client, 0);
  ASSERT_TRUE(WaitFor([] { return Sockets().TcpClientFd(1) >= 0; }));
  const int fd = Sockets().TcpClientFd(1);
  auto option = [fd](int level, int name) {
    int value = -1;
    ::socklen_t length = sizeof(value);
    EXPECT_EQ(::getsockopt(fd, level, name, &value, &length), 0);
    return value;
  };
  EXPECT_NE(option(SOL_SOCKET, SO_KEEPALIVE), 0);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 5);
  ::close(client);
}

}  // namespace
}  // namespace qmx
