#include "relay/control_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qmx {
namespace {

struct Recorder : ControlLineAssembler::Sink {
  int greetings = 0;
  std::string echoed;
  std::vector<std::string> lines;
  std::vector<std::string> overlong;
  void Greet() override { ++greetings; }
  void Echo(uint8_t b) override { echoed += static_cast<char>(b); }
  void Line(std::string_view l) override { lines.emplace_back(l); }
  void OverlongLine(std::string_view l) override { overlong.emplace_back(l); }
};

void FeedAll(ControlLineAssembler& a, Recorder& r, std::string_view bytes) {
  for (char c : bytes) a.Feed(static_cast<uint8_t>(c), r);
}

TEST(ControlLine, EchoesAndCutsAtCarriageReturn) {
  ControlLineAssembler a;
  Recorder r;
  FeedAll(a, r, "HELLO\r");
  EXPECT_EQ(r.echoed, "HELLO\r\n");
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0], "HELLO\r\n");
  EXPECT_EQ(LowerCaseLine(r.lines[0]), "hello\r\n");
}

TEST(ControlLine, MarkerAndNulAreNotTyped) {
  ControlLineAssembler a;
  Recorder r;
  FeedAll(a, r, std::string("he\xFFl\0lo\r", 8));
  EXPECT_EQ(r.greetings, 1);  // 0xFF greets, is neither stored nor echoed
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0], "hello\r\n");  // NUL ignored
  EXPECT_EQ(r.echoed, "hello\r\n");
}

// Every common client's line end ends exactly one line, echoed and stored as
// CR LF: no LF is left over to start the next command.
TEST(ControlLine, EveryLineEndEndsOneLine) {
  const struct {
    const char* name;
    std::string input;
  } cases[] = {
      {"CR", "status\rhelp\r"},
      {"LF", "status\nhelp\n"},
      {"CR LF", "status\r\nhelp\r\n"},
      {"CR NUL", std::string("status\r\0help\r\0", 14)},
      {"CR NUL LF", std::string("status\r\0\nhelp\r\0\n", 16)},
      {"mixed", "status\r\nhelp\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ControlLineAssembler a;
    Recorder r;
    FeedAll(a, r, c.input);
    ASSERT_EQ(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[0], "status\r\n");
    EXPECT_EQ(r.lines[1], "help\r\n");
    EXPECT_EQ(r.echoed, "status\r\nhelp\r\n");
    EXPECT_EQ(a.Pending(), "");
  }
}

TEST(ControlLine, EmptyLinesAndLoneLineFeeds) {
  ControlLineAssembler a;
  Recorder r;
  // LF CR is two ends (the CR does not follow a CR); CR CR LF is two ends;
  // LF LF is two empty lines.
  FeedAll(a, r, "\n\r\r\r\n\n\n");
  ASSERT_EQ(r.lines.size(), 6u);
  for (const std::string& line : r.lines) EXPECT_EQ(line, "\r\n");
  // A CR LF split across two reads is still one end.
  FeedAll(a, r, "hello\r");
  FeedAll(a, r, "\nhelp\r");
  ASSERT_EQ(r.lines.size(), 8u);
  EXPECT_EQ(r.lines[7], "help\r\n");
  // A client that left between its CR and its LF: the next client's LF
  // ends its own (empty) line.
  FeedAll(a, r, "status\r");
  a.Reset();
  FeedAll(a, r, "\n");
  ASSERT_EQ(r.lines.size(), 10u);
  EXPECT_EQ(r.lines[9], "\r\n");
}

TEST(ControlLine, UnfinishedLineWaitsForTheNextBytes) {
  ControlLineAssembler a;
  Recorder r;
  FeedAll(a, r, "sta");
  EXPECT_EQ(a.Pending(), "sta");
  a.Feed(0xFF, r);  // a new client is greeted; the buffer stays
  FeedAll(a, r, "tus\r");
  ASSERT_EQ(r.lines.size(), 1u);
  EXPECT_EQ(r.lines[0], "status\r\n");
}

TEST(ControlLine, OverlongLineIsRefusedNotStoredAndTheNextLineWorks) {
  ControlLineAssembler a;
  Recorder r;
  FeedAll(a, r, std::string(997, 'a') + "\r");
  ASSERT_EQ(r.lines.size(), 1u);  // exactly the most that fits
  EXPECT_EQ(r.lines[0].size(), 999u);
  FeedAll(a, r, std::string(5000, 'b') + "\rhello\r");
  ASSERT_EQ(r.overlong.size(), 1u);
  EXPECT_EQ(r.overlong[0].size(), 999u);  // excess never stored
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[1], "hello\r\n");
  EXPECT_EQ(r.echoed.size(), 997u + 2 + 5000 + 2 + 7);  // every byte echoed
}

}  // namespace
}  // namespace qmx
