// The control line end to end: greeting, echo, replies, line assembly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/line_table.h"
#include "harness.h"
#include "protocol/command_interpreter.h"

namespace qmx::test {
namespace {

class ControlLine : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    Settings s;
    s.control = std::to_string(control_);
    dir_.WriteFile("qmx.txt", s.Text());
    server_.Start();
  }
  ScratchDir dir_;
  InProcessServer server_;
  int control_ = 0;
};

TEST_F(ControlLine, GreetsEchoesAndAnswersByteForByte) {
  ControlClient c(control_);
  EXPECT_EQ(c.greeting(), "QMX ver2.01 ready\r\n");
  c.Send("HELLO\r");
  EXPECT_EQ(c.ReadUntil("220 QMX ver2.01 ready\r\n"),
            "HELLO\r\n220 QMX ver2.01 ready\r\n");
  c.Send("hello there\r");
  EXPECT_EQ(c.ReadUntil("ready\r\n"), "hello there\r\n220 QMX ver2.01 ready\r\n");
  EXPECT_EQ(c.Command("helo"), "500 Bad Request\r\n");
  EXPECT_EQ(c.Command("hello\tx"), "500 Bad Request\r\n");  // tab joins the word
  std::string help = c.Command("help");
  EXPECT_EQ(help, HelpText());
  EXPECT_EQ(c.Command("?"), help);
  EXPECT_EQ(c.Command("HELP"), help);
  EXPECT_EQ(c.Command(""), "500 Bad Request\r\n");  // CR alone: the word is LF

  // The command log holds the greeting, each line lower-cased with its CR LF,
  // and each reply right after its line.
  auto log = CommandLog(server_.doc());
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[0], "QMX ver2.01 ready\r\n");
  EXPECT_EQ(log[1], "hello\r\n");
  EXPECT_EQ(log[2], "220 QMX ver2.01 ready\r\n");
  EXPECT_EQ(log[3], "hello there\r\n");
}

TEST_F(ControlLine, EveryLineEndAndTheGreetingByte) {
  ControlClient c(control_);
  // CR LF (nc -C, Telnet), LF (nc) and CR NUL each end one command, echoed
  // as CR LF; nothing of one line end is left to start the next command.
  c.Send("hello\r\nhello\nHELLO\r");
  c.Send(std::string("\0hello\r\0", 9));
  std::string got = c.ReadWhile(
      [](const std::string& s) {
        size_t n = 0;
        for (size_t at = 0; (at = s.find("220 ", at)) != std::string::npos; ++at) ++n;
        return n < 4;
      },
      10s);
  std::string one = "hello\r\n220 QMX ver2.01 ready\r\n";
  EXPECT_EQ(got, one + one + "HELLO\r\n220 QMX ver2.01 ready\r\n" + one);
  EXPECT_EQ(c.Command("status").rfind("200 Status is:", 0), 0u);
  // 0xFF greets again.
  c.Send(std::string("\xFF", 1));
  EXPECT_EQ(c.ReadUntil("ready\r\n"), "QMX ver2.01 ready\r\n");
  // The command log stores each line with CR LF, whatever ended it.
  const auto log = CommandLog(server_.doc());
  EXPECT_EQ(std::count(log.begin(), log.end(), "hello\r\n"), 4);
}

TEST_F(ControlLine, SecondClientWaitsInTheBacklogAndIsServedAfterTheFirst) {
  ControlClient first(control_);
  TcpClient second(control_);
  ASSERT_TRUE(second.connected());
  second.Send("hello\r");
  EXPECT_EQ(second.Drain(300ms), "");  // not accepted yet
  EXPECT_EQ(first.Command("hello"), "220 QMX ver2.01 ready\r\n");
  first.Close();
  std::string got = second.ReadUntil("220 QMX ver2.01 ready\r\n");
  EXPECT_EQ(got, "QMX ver2.01 ready\r\nhello\r\n220 QMX ver2.01 ready\r\n");
}

TEST_F(ControlLine, OverlongLineIsAnsweredNotExecutedAndTheLineGoesOn) {
  ControlClient c(control_);
  std::string junk = "save" + std::string(3000, 'x');
  c.Send(junk + "\r");
  std::string got = c.ReadUntil("500 Bad Request\r\n");
  EXPECT_EQ(got.size(), junk.size() + 2 + 17);
  EXPECT_FALSE(std::filesystem::exists("qmx.txt.new"));
  EXPECT_EQ(c.Command("hello"), "220 QMX ver2.01 ready\r\n");
}

TEST_F(ControlLine, SaveWritesTheFileAndReportsAFileItCannotWrite) {
  ControlClient c(control_);
  EXPECT_EQ(c.Command("save"), "200 saved setup\r\n");
  std::string saved = dir_.ReadFile("qmx.txt");
  EXPECT_EQ(saved.substr(0, 19), "QMX test settings\r\n");
  EXPECT_NE(saved.find(std::to_string(control_) + "\t\r\n"), std::string::npos);

  std::filesystem::remove("qmx.txt");
  std::filesystem::create_directory("qmx.txt");  // cannot be written, even by root
  EXPECT_EQ(c.Command("save"), "424 Cann't open qmx.txt\r\n");
  EXPECT_TRUE(std::filesystem::is_directory("qmx.txt"));
}

TEST_F(ControlLine, GarbageNeverStopsTheLine) {
  ControlClient c(control_);
  std::string garbage;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(x >> 16);
    garbage += static_cast<char>(b == 0xFF ? 'a' : b);
  }
  c.Send(garbage);
  c.Send("\r");
  c.Drain(500ms);
  EXPECT_EQ(c.Command("hello"), "220 QMX ver2.01 ready\r\n");
}

}  // namespace
}  // namespace qmx::test
