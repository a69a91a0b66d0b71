// Clients that end their input (shutdown for writing, as `nc -q`, socat and
// most scripts do) still get everything due to them: a control client every
// reply to the complete commands it sent, then the end; a data client the
// device's bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "engine/line_table.h"
#include "harness.h"
#include "protocol/command_interpreter.h"

namespace qmx::test {
namespace {

// Everything the server sends until it closes the connection.
std::string ReadToEnd(TcpClient& c) {
  return c.ReadWhile([](const std::string&) { return true; }, 10s);
}

// Ends the connection with a reset, so the server lets the line go at once.
void Abort(TcpClient& c) {
  ::linger reset{1, 0};
  (void)::setsockopt(c.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  c.Close();
}

class HalfClose : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    data_ = FreeTcpPort();
  }
  void Start(const Settings& s) {
    dir_.WriteFile("qmx.txt", s.Text());
    server_.Start();
  }
  // Data line 1 bridged to com1, which `device` plays.
  void StartBridged() {
    Settings s;
    s.control = std::to_string(control_);
    s.tcp[1] = std::to_string(data_);
    s.serial[1] = "com1";
    Start(s);
    ASSERT_EQ(LineStatus(1), "OK");
  }
  ScratchDir dir_;
  InProcessServer server_;
  int control_ = 0;
  int data_ = 0;
};

TEST_F(HalfClose, ControlClientGetsEveryReplyThenTheEnd) {
  Settings s;
  s.control = std::to_string(control_);
  Start(s);
  const std::string greeting = "QMX ver2.01 ready\r\n";
  const std::string hello = "220 QMX ver2.01 ready\r\n";
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    TcpClient c(control_);
    ASSERT_TRUE(c.connected());
    // Two commands with two kinds of line end, then a line without its end:
    // it is echoed but never run.
    c.Send("hello\r\nhelp\nsav");
    c.HalfClose();
    const std::string got = ReadToEnd(c);
    EXPECT_EQ(got, greeting + "hello\r\n" + hello + "help\r\n" + HelpText() + "sav");
  }
  // The unfinished "sav" never ran and was never logged.
  const auto log = CommandLog(server_.doc());
  EXPECT_EQ(std::count(log.begin(), log.end(), "hello\r\n"), 20);
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& e) { return e.rfind("sav", 0) == 0; }),
            0);
  EXPECT_FALSE(std::filesystem::exists("qmx.txt.new"));
  // The line serves the next client as usual.
  ControlClient next(control_);
  EXPECT_EQ(next.Command("hello"), hello);
}

TEST_F(HalfClose, CloseAndOpenSentByAScriptAreAnswered) {
  PtyDevice com1("com1", Play::kEcho);
  StartBridged();
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE(round);
    {
      TcpClient c(control_);
      c.Send("close com1\r");
      c.HalfClose();
      EXPECT_NE(ReadToEnd(c).find("close com1\r\n200 OK\r\n"), std::string::npos);
    }
    {
      TcpClient c(control_);
      c.Send("open com1\r");
      c.HalfClose();
      EXPECT_NE(ReadToEnd(c).find("open com1\r\n200 opened by "), std::string::npos);
    }
  }
}

TEST_F(HalfClose, DataClientGetsTheDevicesBytes) {
  PtyDevice com1("com1", Play::kEcho);
  StartBridged();
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    TcpClient c(data_);
    ASSERT_TRUE(c.connected());
    const std::string line = "abc " + std::to_string(round) + "\n";
    c.Send(line);
    c.HalfClose();
    EXPECT_EQ(c.ReadCount(line.size()), line);  // the echo after the end of input
    Abort(c);
  }
}

TEST_F(HalfClose, ADataClientThatClosedAfterItsInputEndedFreesTheLine) {
  PtyDevice com1("com1", Play::kEcho);
  StartBridged();
  TcpClient first(data_);
  first.Send("one\n");
  first.HalfClose();
  EXPECT_EQ(first.ReadCount(4), "one\n");
  // A plain close after the half-close sends nothing the server sees; it
  // finds the client gone by probing, and the next client is served.
  first.Close();
  TcpClient second(data_);
  second.Send("two\n");
  EXPECT_EQ(second.ReadCount(4, 20s), "two\n");
}

}  // namespace
}  // namespace qmx::test
