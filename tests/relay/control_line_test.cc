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

TEST(ControlLine, MarkerNulAndLineFeed) {
  ControlLineAssembler a;
  Recorder r;
  FeedAll(a, r, std::string("he\xFFl\0lo\r\0\nhelp\r", 15));
  EXPECT_EQ(r.greetings, 1);  // 0xFF greets, is neither stored nor echoed
  ASSERT_EQ(r.lines.size(), 2u);
  EXPECT_EQ(r.lines[0], "hello\r\n");   // NUL ignored
  EXPECT_EQ(r.lines[1], "\nhelp\r\n");  // a client's LF starts the next line
  EXPECT_EQ(r.echoed, "hello\r\n\nhelp\r\n");
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
