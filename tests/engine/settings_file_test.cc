#include "engine/settings_file.h"

#include <gtest/gtest.h>

#include "engine/line_table.h"
#include "platform/fixed_text.h"

namespace qmx {
namespace {

class SettingsText : public ::testing::Test {
 protected:
  void SetUp() override { ResetLineTable(); }
  void TearDown() override { ResetLineTable(); }
};

constexpr const char* kSample =
    "QMX settings, first line\r\n"
    "9001\tcontrol remark\r\n"
    "9002,com1\t\r\n"
    "9003,receive com1\t\r\n"
    "9004,com3 \t spaced remark, with comma\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "unused,unused\t\r\n"
    "com1,9600,n,8,1,n\t\r\n"
    "com2,19200,e,7,2,h\tport two\r\n"
    "com3,19200,e,7\r\n"
    "com4,9600,n,8,1,x\t\r\n"
    "com5,9600,n,8,1,n\t\r\n"
    "com6,9600,n,8,1,n\t\r\n"
    "com7,9600,n,8,1,n\t\r\n"
    "com8,9600,n,8,1,n\t\r\n"
    "1\t\r\n"
    "anything after line 19 is ignored\r\n";

TEST_F(SettingsText, ReadsEveryLineIntoTheTable) {
  MutexLock lock(engineLock);
  ParseSetupText(kSample);
  EXPECT_EQ(setupRemarks[0], "QMX settings, first line\n");
  EXPECT_EQ(tcpPortText[0], "9001");
  EXPECT_EQ(setupRemarks[1], "control remark");
  EXPECT_EQ(tcpPortText[1], "9002");
  EXPECT_EQ(serialPortText[1], "com1");
  EXPECT_EQ(setupRemarks[2], "");
  EXPECT_EQ(serialPortText[2], "receive com1");
  EXPECT_EQ(setupRemarks[4], "\t spaced remark, with comma");
  EXPECT_EQ(tcpPortText[8], "unused");
  EXPECT_EQ(FieldText(comSettings[1].definition), "19200,e,7,2");
  EXPECT_EQ(FieldText(comSettings[1].flow), "h");
  EXPECT_EQ(setupRemarks[11], "port two");
  // A serial line with four fields: definition of three, stop and flow empty.
  EXPECT_EQ(FieldText(comSettings[2].name), "com3");
  EXPECT_EQ(FieldText(comSettings[2].definition), "19200,e,7");
  EXPECT_EQ(FieldText(comSettings[2].stopBits), "");
  EXPECT_EQ(FieldText(comSettings[2].flow), "");
  EXPECT_EQ(startMinimized, 1);
}

TEST_F(SettingsText, WrittenTextReadsBackTheSameWithRemarksInPlace) {
  MutexLock lock(engineLock);
  ParseSetupText(kSample);
  std::string written = BuildSetupText();
  auto tcp = tcpPortText;
  auto serial = serialPortText;
  auto remarks = setupRemarks;
  std::string def1 = std::string(FieldText(comSettings[1].definition));
  int minimized = startMinimized;

  ResetLineTableLocked();
  ParseSetupText(ToDiskLineEnds(written));
  EXPECT_EQ(tcpPortText, tcp);
  EXPECT_EQ(serialPortText, serial);
  EXPECT_EQ(setupRemarks, remarks);
  EXPECT_EQ(FieldText(comSettings[1].definition), def1);
  EXPECT_EQ(startMinimized, minimized);
  // A second round gives the identical file.
  EXPECT_EQ(BuildSetupText(), written);
  // Line 5 keeps its remark, line 4 has none: each line ends in a lone tab
  // when its remark is empty.
  EXPECT_NE(written.find("9003,receive com1\t\n"), std::string::npos);
  EXPECT_NE(written.find("9004,com3\t\t spaced remark, with comma\n"), std::string::npos);
}

TEST_F(SettingsText, ShortAndOddLines) {
  MutexLock lock(engineLock);
  ParseSetupText(
      "first\n"
      "9001\n"
      "9002\n"           // data line 1 with only a TCP port
      "9003,receive\n"   // receive without a port name
      "9004 , com3\n");  // blanks and commas mix
  EXPECT_EQ(tcpPortText[1], "9002");
  EXPECT_EQ(serialPortText[1], "");  // unchanged
  EXPECT_EQ(setupRemarks[2], "");
  EXPECT_EQ(serialPortText[2], "receive");
  EXPECT_EQ(serialPortText[3], "com3");
  EXPECT_EQ(tcpPortText[5], "");  // lines the file does not have change nothing
}

TEST_F(SettingsText, MinimizeFlagNeedsTheDigitFirst) {
  MutexLock lock(engineLock);
  std::string head = "h\n9001\n";
  for (int i = 0; i < 8; ++i) head += "unused,unused\n";
  for (int i = 0; i < 8; ++i) head += "com1,9600,n,8,1,n\n";
  ParseSetupText(head + " 1\n");
  EXPECT_EQ(startMinimized, 0);
  ParseSetupText(head + "1\n");
  EXPECT_EQ(startMinimized, 1);
}

TEST_F(SettingsText, OverlongLinesAndFieldsAreCutNeverOverrun) {
  MutexLock lock(engineLock);
  std::string longName(200, 'c');
  std::string text = "first\n9001\n";
  for (int i = 0; i < 8; ++i) text += "unused,unused\n";
  text += longName.substr(0, 60) + ",9600,n,8,1,hardware-and-more\n";
  ParseSetupText(text);
  EXPECT_EQ(FieldText(comSettings[0].name), longName.substr(0, 31));
  EXPECT_EQ(FieldText(comSettings[0].flow), "hardwar");

  // A line longer than 99 characters continues as the next line.
  ResetLineTableLocked();
  ParseSetupText("first\n" + std::string(120, '9') + "\n");
  EXPECT_EQ(tcpPortText[0], std::string(99, '9'));
  EXPECT_EQ(tcpPortText[1], std::string(21, '9'));
}

TEST_F(SettingsText, SavedLinesStayWithinTheReadersLimitAndEnded) {
  MutexLock lock(engineLock);
  // A first line without its end, a remark that would make its line too
  // long, and a NUL (which ends a line for the reader): a save must not move
  // any later line.
  std::string text = "first line without end";
  ParseSetupText(text);
  setupRemarks[2] = std::string(150, 'r');
  tcpPortText[0] = "9001";
  tcpPortText[1] = "9002";
  serialPortText[1] = "com1";
  tcpPortText[2] = "9003";
  serialPortText[2] = "com2";
  std::string written = BuildSetupText();
  for (size_t start = 0, end; start < written.size(); start = end + 1) {
    end = written.find('\n', start);
    EXPECT_LT(end - start, 99u);
  }
  ResetLineTableLocked();
  ParseSetupText(ToDiskLineEnds(written));
  EXPECT_EQ(setupRemarks[0], "first line without end\n");
  EXPECT_EQ(tcpPortText[2], "9003");
  EXPECT_EQ(serialPortText[2], "com2");
  EXPECT_EQ(setupRemarks[2].size(), 98u - std::string("9002,com1\t").size());

  ResetLineTableLocked();
  ParseSetupText(std::string("h\n9001\n9002,com1\0junk\n9003,com2\n", 32));
  EXPECT_EQ(serialPortText[1], "com1");
  EXPECT_EQ(serialPortText[2], "com2");
}

TEST_F(SettingsText, WriterWithoutAFirstLineWritesAHeading) {
  MutexLock lock(engineLock);
  for (auto& t : tcpPortText) t = "unused";
  for (int L = 1; L < 9; ++L) serialPortText[L] = "unused";
  std::string written = BuildSetupText();
  ASSERT_FALSE(written.empty());
  EXPECT_NE(written.substr(0, written.find('\n')), "unused\t");
  ResetLineTableLocked();
  ParseSetupText(written);
  EXPECT_EQ(tcpPortText[0], "unused");
  EXPECT_EQ(serialPortText[8], "unused");
  EXPECT_EQ(ToDiskLineEnds("a\nb\n"), "a\r\nb\r\n");
}

}  // namespace
}  // namespace qmx
