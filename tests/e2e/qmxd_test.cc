// The qmxd executable: serves from its working directory and stops cleanly.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"

namespace qmx::test {
namespace {

int CountEntries(const std::string& dir) {
  int n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

TEST(Qmxd, ServesAndEndsCleanlyOnSigterm) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  Settings s;
  int control = FreeTcpPort();
  int data = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(data);
  s.serial[1] = "com1";
  s.tcp[2] = std::to_string(FreeTcpPort());
  s.serial[2] = "com2";  // missing device: an error-log entry on stderr
  MissingDevice("com2");
  dir.WriteFile("qmx.txt", s.Text());

  ServerProcess server;
  ControlClient c(control);
  EXPECT_EQ(c.greeting(), "QMX ver2.01 ready\r\n");
  TcpClient client(data);
  client.Send("echo me");
  EXPECT_EQ(client.ReadCount(7), "echo me");
  // Closing com1 by name ends exactly its two threads: the line's accept
  // thread and the port's receive thread.
  std::string task = "/proc/" + std::to_string(server.pid()) + "/task";
  const int before = CountEntries(task);
  EXPECT_EQ(c.Command("close com1"), "200 OK\r\n");
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor([&] { return CountEntries(task) == before - 2; }));

  EXPECT_EQ(server.Terminate(), 0);
  EXPECT_NE(server.Stderr().find("com2 open failure"), std::string::npos)
      << server.Stderr();
  EXPECT_TRUE(c.WaitClosed());
  EXPECT_FALSE(Listening(control));
}

// Settings that cannot be served stop qmxd before it claims to serve, with
// the reason on standard error and the status a service manager will not
// restart for.
TEST(Qmxd, SettingsThatCannotBeServedStopItAtStart) {
  ScratchDir dir;
  {
    ServerProcess server;  // no qmx.txt at all
    EXPECT_EQ(server.WaitExit(), 78);
    EXPECT_NE(server.Stderr().find("Cann't open qmx.txt: No such file or directory"),
              std::string::npos)
        << server.Stderr();
    EXPECT_EQ(server.Stderr().find("serving"), std::string::npos) << server.Stderr();
  }
  {
    ASSERT_TRUE(std::filesystem::create_directory("qmx.txt"));
    ServerProcess server;
    EXPECT_EQ(server.WaitExit(), 78);
    EXPECT_NE(server.Stderr().find("not a regular file"), std::string::npos)
        << server.Stderr();
    std::filesystem::remove("qmx.txt");
  }
  {
    // The control line's port is taken by another program.
    const int control = FreeTcpPort();
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(control));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    Settings s;
    s.control = std::to_string(control);
    dir.WriteFile("qmx.txt", s.Text());
    ServerProcess server;
    EXPECT_EQ(server.WaitExit(), 78);
    EXPECT_NE(server.Stderr().find("TCP port " + std::to_string(control) +
                                   " open failure: Address already in use"),
              std::string::npos)
        << server.Stderr();
    ::close(taken);
  }
}

// --check reads the settings as start-up does and names each problem with
// its line, without serving; an absent device is no problem.
TEST(Qmxd, CheckNamesEachProblemWithItsLine) {
  ScratchDir dir;
  Settings s;
  const int control = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = "80x1";  // file line 3
  s.serial[1] = "com1";
  s.tcp[2] = std::to_string(FreeTcpPort());
  s.serial[2] = "com2";
  s.com[1] = "com2,fast,n,8,1,n";  // file line 12
  s.tcp[3] = s.control;            // file line 5: the control line's port again
  s.serial[3] = "com3";
  s.tcp[4] = std::to_string(FreeTcpPort());
  s.serial[4] = "cmo4";  // file line 6: not line 4's port
  MissingDevice("com1");
  MissingDevice("com2");
  MissingDevice("com3");
  dir.WriteFile("qmx.txt", s.Text());
  {
    ServerProcess check({"--check"});
    EXPECT_EQ(check.WaitExit(), 78);
    const std::string out = check.Stderr();
    EXPECT_NE(out.find("qmx.txt:3: TCP port 80x1 open failure: not a TCP port"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("qmx.txt:12: com2 open failure: line settings \"fast,n,8,1\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("qmx.txt:5: TCP port " + s.control + " open failure"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("qmx.txt:6: cmo4 open failure"), std::string::npos) << out;
    EXPECT_EQ(out.find("com1 open failure"), std::string::npos) << out;  // absent only
    EXPECT_FALSE(Listening(control));
  }
  Settings good;
  good.control = std::to_string(control);
  good.tcp[1] = std::to_string(FreeTcpPort());
  good.serial[1] = "com1";  // its device is absent: the server would wait
  dir.WriteFile("qmx.txt", good.Text());
  ServerProcess check({"--check"});
  EXPECT_EQ(check.WaitExit(), 0) << check.Stderr();
  EXPECT_NE(check.Stderr().find("qmx.txt: no problems"), std::string::npos);
}

}  // namespace
}  // namespace qmx::test

namespace qmx::test {
namespace {

// A command that arrives as the server is told to stop either runs before the
// clean-up or not at all: never a port or thread started after it.
TEST(Qmxd, CommandCaughtByShutdownNeverOutlivesIt) {
  ScratchDir dir;
  PtyDevice com3("com3", Play::kEcho);
  for (int round = 0; round < 8; ++round) {
    Settings s;
    const int control = FreeTcpPort();
    s.control = std::to_string(control);
    s.tcp[3] = std::to_string(FreeTcpPort());
    dir.WriteFile("qmx.txt", s.Text());
    ServerProcess server;
    ControlClient c(control);
    c.Send("open com3" + std::string(900, ' ') + "\r");
    EXPECT_EQ(server.Terminate(), 0) << "round " << round << ": " << server.Stderr();
  }
}

}  // namespace
}  // namespace qmx::test
