// The qmxd executable: serves from its working directory and stops cleanly.
#include <dirent.h>
#include <gtest/gtest.h>

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

TEST(Qmxd, StartsWithoutASettingsFile) {
  ScratchDir dir;
  ServerProcess server;
  // It logs the missing file and keeps running until told to stop.
  ASSERT_TRUE(WaitFor(
      [&] { return server.Stderr().find("Cann't open qmx.txt") != std::string::npos; }));
  EXPECT_EQ(server.Terminate(), 0);
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
