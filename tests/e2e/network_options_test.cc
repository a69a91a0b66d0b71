// The qmxd executable's network options: listen addresses, the dual-stack
// default, allow-lists, start-up errors, and SIGINT.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "harness.h"

namespace qmx::test {
namespace {

bool HaveIpv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  ::close(fd);
  return ok;
}

// A settings file with the control line and data line 1 on com1.
struct TwoLines {
  int control = FreeTcpPort();
  int data = FreeTcpPort();
  void Write(const ScratchDir& dir, const std::string& dataPortText = "") const {
    Settings s;
    s.control = std::to_string(control);
    s.tcp[1] = dataPortText.empty() ? std::to_string(data) : dataPortText;
    s.serial[1] = "com1";
    dir.WriteFile("qmx.txt", s.Text());
  }
};

bool Serving(const ServerProcess& server) {
  return WaitFor(
      [&] { return server.Stderr().find("qmxd: serving") != std::string::npos; });
}

TEST(QmxdNetwork, ListensOnlyWhereTold) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  TwoLines lines;
  lines.Write(dir);
  ServerProcess server({"--listen", "127.0.0.1"});
  ControlClient operatorClient(lines.control);
  EXPECT_EQ(operatorClient.greeting(), "QMX ver2.01 ready\r\n");
  TcpClient client(lines.data);
  client.Send("here");
  EXPECT_EQ(client.ReadCount(4), "here");
  EXPECT_FALSE(Listening("127.0.0.2", lines.control));
  const bool v6 = HaveIpv6Loopback();
  if (v6) {
    EXPECT_FALSE(Listening("::1", lines.control));
    EXPECT_FALSE(Listening("::1", lines.data));
  }
  EXPECT_NE(server.Stderr().find("Listening on 127.0.0.1"), std::string::npos);
  EXPECT_EQ(server.Terminate(), 0);
  if (!v6) GTEST_SKIP() << "::1 cannot be bound here";
}

TEST(QmxdNetwork, DefaultServesIpv4AndIpv6Alike) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "::1 cannot be bound here";
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  TwoLines lines;
  lines.Write(dir);
  ServerProcess server;
  ControlClient v4(lines.control);
  EXPECT_EQ(v4.greeting(), "QMX ver2.01 ready\r\n");
  v4.Close();
  TcpClient v6("::1", lines.control);
  ASSERT_TRUE(v6.connected());
  EXPECT_EQ(v6.ReadUntil("ready\r\n"), "QMX ver2.01 ready\r\n");
  TcpClient data6("::1", lines.data);
  data6.Send("six");
  EXPECT_EQ(data6.ReadCount(3), "six");
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(QmxdNetwork, StrangersAreClosedBeforeAnyGreeting) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  TwoLines lines;
  lines.Write(dir);
  ServerProcess server({"--allow", "10.0.0.0/8", "--allow", "127.0.0.2",
                        "--control-allow", "127.0.0.3/32"});
  ASSERT_TRUE(Serving(server)) << server.Stderr();

  // 127.0.0.1 is in neither list: closed without a byte on either line.
  TcpClient strangerControl("127.0.0.1", lines.control);
  ASSERT_TRUE(strangerControl.connected());
  EXPECT_EQ(strangerControl.ReadCount(1), "");
  EXPECT_TRUE(strangerControl.WaitClosed());
  TcpClient strangerData("127.0.0.1", lines.data);
  ASSERT_TRUE(strangerData.connected());
  strangerData.Send("not for com1");
  EXPECT_TRUE(strangerData.WaitClosed());

  // An allowed client gets the data line, which the stranger never held;
  // nothing the stranger sent reached the port.
  TcpClient allowed("127.0.0.1", lines.data, "127.0.0.2");
  ASSERT_TRUE(allowed.connected());
  allowed.Send("mine");
  EXPECT_EQ(allowed.ReadCount(4), "mine");
  EXPECT_EQ(allowed.Drain(), "");

  // The control line has its own, narrower list.
  TcpClient dataUser("127.0.0.1", lines.control, "127.0.0.2");
  ASSERT_TRUE(dataUser.connected());
  EXPECT_EQ(dataUser.ReadCount(1), "");
  EXPECT_TRUE(dataUser.WaitClosed());
  TcpClient operatorClient("127.0.0.1", lines.control, "127.0.0.3");
  ASSERT_TRUE(operatorClient.connected());
  EXPECT_EQ(operatorClient.ReadUntil("ready\r\n"), "QMX ver2.01 ready\r\n");

  // Each refused address is logged once a minute, whichever line saw it
  // first.
  const std::string dataUserRefused =
      "TCP port " + std::to_string(lines.control) + " refused 127.0.0.2\n";
  EXPECT_TRUE(WaitFor([&] {
    return server.Stderr().find(dataUserRefused) != std::string::npos;
  })) << server.Stderr();
  const std::string log = server.Stderr();
  size_t strangers = 0;
  for (size_t at = log.find(" refused 127.0.0.1\n"); at != std::string::npos;
       at = log.find(" refused 127.0.0.1\n", at + 1)) {
    ++strangers;
  }
  EXPECT_EQ(strangers, 1u) << log;
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(QmxdNetwork, BadStartsServeNothing) {
  ScratchDir dir;
  TwoLines lines;
  lines.Write(dir);
  {
    // An address this host does not have: named on standard error, before
    // any line listens.
    ServerProcess server({"--listen", "127.0.0.1", "--listen", "192.0.2.77"});
    const int status = server.WaitExit();
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    EXPECT_NE(server.Stderr().find("192.0.2.77"), std::string::npos) << server.Stderr();
    EXPECT_EQ(server.Stderr().find("serving"), std::string::npos);
    EXPECT_FALSE(Listening(lines.control));
  }
  {
    ServerProcess server({"--bogus"});
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_EQ(server.Stderr(), "qmxd: unknown option '--bogus' (see qmxd --help)\n");
  }
  {
    ServerProcess server({"--rfc2217", "9"});
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_NE(server.Stderr().find("data line 9 is beyond the 8 data lines"),
              std::string::npos);
  }
}

TEST(QmxdNetwork, InterruptEndsCleanlyAndPortTextsAreChecked) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  TwoLines lines;
  lines.Write(dir, "31205x");  // not a port: the line fails, nothing listens
  ServerProcess server;
  ControlClient operatorClient(lines.control);
  EXPECT_EQ(operatorClient.greeting(), "QMX ver2.01 ready\r\n");
  const std::string status = operatorClient.Command("status");
  EXPECT_NE(status.find("1:31205x-com1 NG\r\n"), std::string::npos) << status;
  EXPECT_EQ(server.Stop(SIGINT), 0);
  EXPECT_NE(server.Stderr().find("TCP port 31205x open failure"), std::string::npos)
      << server.Stderr();
  EXPECT_TRUE(operatorClient.WaitClosed());
  EXPECT_FALSE(Listening(lines.control));
}

}  // namespace
}  // namespace qmx::test
