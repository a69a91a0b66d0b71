#include "engine/settings_file.h"

#include <gtest/gtest.h>

#include "engine/line_table.h"
#include "platform/fixed_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

class SettingsText : public ::testing::Test {
 protected:
  void SetUp() override { Table().ResetLineTable(); }
  void TearDown() override { Table().ResetLineTable(); }
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
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kSample);
  EXPECT_EQ(Table().setupRemarks[0], "QMX settings, first line\n");
  EXPECT_EQ(Table().tcpPortText[0], "9001");
  EXPECT_EQ(Table().setupRemarks[1], "control remark");
  EXPECT_EQ(Table().tcpPortText[1], "9002");
  EXPECT_EQ(Table().serialPortText[1], "com1");
  EXPECT_EQ(Table().setupRemarks[2], "");
  EXPECT_EQ(Table().serialPortText[2], "receive com1");
  EXPECT_EQ(Table().setupRemarks[4], "\t spaced remark, with comma");
  EXPECT_EQ(Table().tcpPortText[8], "unused");
  EXPECT_EQ(FieldText(Table().comSettings[1].definition), "19200,e,7,2");
  EXPECT_EQ(FieldText(Table().comSettings[1].flow), "h");
  EXPECT_EQ(Table().setupRemarks[11], "port two");
  // A serial line with four fields: definition of three, stop and flow empty.
  EXPECT_EQ(FieldText(Table().comSettings[2].name), "com3");
  EXPECT_EQ(FieldText(Table().comSettings[2].definition), "19200,e,7");
  EXPECT_EQ(FieldText(Table().comSettings[2].stopBits), "");
  EXPECT_EQ(FieldText(Table().comSettings[2].flow), "");
  EXPECT_EQ(Table().startMinimized, 1);
}

TEST_F(SettingsText, WrittenTextReadsBackTheSameWithRemarksInPlace) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(), kSample);
  std::string written = BuildSetupText(Table());
  auto tcp = Table().tcpPortText;
  auto serial = Table().serialPortText;
  auto remarks = Table().setupRemarks;
  std::string def1 = std::string(FieldText(Table().comSettings[1].definition));
  int minimized = Table().startMinimized;

  Table().ResetLineTableLocked();
  ParseSetupText(Table(), ToDiskLineEnds(written));
  EXPECT_EQ(Table().tcpPortText, tcp);
  EXPECT_EQ(Table().serialPortText, serial);
  EXPECT_EQ(Table().setupRemarks, remarks);
  EXPECT_EQ(FieldText(Table().comSettings[1].definition), def1);
  EXPECT_EQ(Table().startMinimized, minimized);
  // A second round gives the identical file.
  EXPECT_EQ(BuildSetupText(Table()), written);
  // Line 5 keeps its remark, line 4 has none: each line ends in a lone tab
  // when its remark is empty.
  EXPECT_NE(written.find("9003,receive com1\t\n"), std::string::npos);
  EXPECT_NE(written.find("9004,com3\t\t spaced remark, with comma\n"), std::string::npos);
}

TEST_F(SettingsText, ShortAndOddLines) {
  MutexLock lock(Table().engineLock);
  ParseSetupText(Table(),
                 "first\n"
                 "9001\n"
                 "9002\n"           // data line 1 with only a TCP port
                 "9003,receive\n"   // receive without a port name
                 "9004 , com3\n");  // blanks and commas mix
  EXPECT_EQ(Table().tcpPortText[1], "9002");
  EXPECT_EQ(Table().serialPortText[1], "");  // unchanged
  EXPECT_EQ(Table().setupRemarks[2], "");
  EXPECT_EQ(Table().serialPortText[2], "receive");
  EXPECT_EQ(Table().serialPortText[3], "com3");
  EXPECT_EQ(Table().tcpPortText[5], "");  // lines the file does not have change nothing
}

TEST_F(SettingsText, MinimizeFlagNeedsTheDigitFirst) {
  MutexLock lock(Table().engineLock);
  std::string head = "h\n9001\n";
  for (int i = 0; i < 8; ++i) head += "unused,unused\n";
  for (int i = 0; i < 8; ++i) head += "com1,9600,n,8,1,n\n";
  ParseSetupText(Table(), head + " 1\n");
  EXPECT_EQ(Table().startMinimized, 0);
  ParseSetupText(Table(), head + "1\n");
  EXPECT_EQ(Table().startMinimized, 1);
}

TEST_F(SettingsText, OverlongLinesAndFieldsAreCutNeverOverrun) {
  MutexLock lock(Table().engineLock);
  std::string longName(200, 'c');
  std::string text = "first\n9001\n";
  for (int i = 0; i < 8; ++i) text += "unused,unused\n";
  text += longName.substr(0, 60) + ",9600,n,8,1,hardware-and-more\n";
  ParseSetupText(Table(), text);
  EXPECT_EQ(FieldText(Table().comSettings[0].name), longName.substr(0, 31));
  EXPECT_EQ(FieldText(Table().comSettings[0].flow), "hardwar");

  // A line longer than 99 characters continues as the next line.
  Table().ResetLineTableLocked();
  ParseSetupText(Table(), "first\n" + std::string(120, '9') + "\n");
  EXPECT_EQ(Table().tcpPortText[0], std::string(99, '9'));
  EXPECT_EQ(Table().tcpPortText[1], std::string(21, '9'));
}

TEST_F(SettingsText, SavedLinesStayWithinTheReadersLimitAndEnded) {
  MutexLock lock(Table().engineLock);
  // A first line without its end, a remark that would make its line too
  // long, and a NUL (which ends a line for the reader): a save must not move
  // any later line.
  std::string text = "first line without end";
  ParseSetupText(Table(), text);
  Table().setupRemarks[2] = std::string(150, 'r');
  Table().tcpPortText[0] = "9001";
  Table().tcpPortText[1] = "9002";
  Table().serialPortText[1] = "com1";
  Table().tcpPortText[2] = "9003";
  Table().serialPortText[2] = "com2";
  std::string written = BuildSetupText(Table());
  for (size_t start = 0, end; start < written.size(); start = end + 1) {
    end = written.find('\n', start);
    EXPECT_LT(end - start, 99u);
  }
  Table().ResetLineTableLocked();
  ParseSetupText(Table(), ToDiskLineEnds(written));
  EXPECT_EQ(Table().setupRemarks[0], "first line without end\n");
  EXPECT_EQ(Table().tcpPortText[2], "9003");
  EXPECT_EQ(Table().serialPortText[2], "com2");
  EXPECT_EQ(Table().setupRemarks[2].size(), 98u - std::string("9002,com1\t").size());

  Table().ResetLineTableLocked();
  ParseSetupText(Table(), std::string("h\n9001\n9002,com1\0junk\n9003,com2\n", 32));
  EXPECT_EQ(Table().serialPortText[1], "com1");
  EXPECT_EQ(Table().serialPortText[2], "com2");
}

TEST_F(SettingsText, WriterWithoutAFirstLineWritesAHeading) {
  MutexLock lock(Table().engineLock);
  for (auto& t : Table().tcpPortText) t = "unused";
  for (int L = 1; L < 9; ++L) Table().serialPortText[L] = "unused";
  std::string written = BuildSetupText(Table());
  ASSERT_FALSE(written.empty());
  EXPECT_NE(written.substr(0, written.find('\n')), "unused\t");
  Table().ResetLineTableLocked();
  ParseSetupText(Table(), written);
  EXPECT_EQ(Table().tcpPortText[0], "unused");
  EXPECT_EQ(Table().serialPortText[8], "unused");
  EXPECT_EQ(ToDiskLineEnds("a\nb\n"), "a\r\nb\r\n");
}

// More than eight data lines: a pair of lines for each further one after the
// 19th, read and written in place with their remarks; a pair the file lacks
// is an unused line; an eight-line server ignores the pairs.
TEST(SettingsPairs, ExtraLinesAfterTheNineteenth) {
  const std::string pairs =
      "9010,com9\tninth\r\n"
      "com9,19200,e,7,2,h\tport nine\r\n"
      "9011,receive com9\r\n"
      "com10,9600,n,8,1,n\r\n";
  const std::string text =
      std::string(kSample).substr(0, std::string(kSample).rfind("any")) + pairs;

  SetupSettings twelve = ParseSetupSettings(text, 12);
  EXPECT_EQ(twelve.tcpPortText[9], "9010");
  EXPECT_EQ(twelve.serialPortText[9], "com9");
  EXPECT_EQ(twelve.remarks[DataLineFileLine(9)], "ninth");
  EXPECT_EQ(FieldText(twelve.comSettings[8].definition), "19200,e,7,2");
  EXPECT_EQ(twelve.remarks[PortFileLine(8)], "port nine");
  EXPECT_EQ(twelve.serialPortText[10], "receive com9");
  EXPECT_EQ(twelve.startMinimized, 1);
  for (int L : {11, 12}) {
    EXPECT_EQ(twelve.tcpPortText[L], "unused");
    EXPECT_EQ(twelve.serialPortText[L], "unused");
    EXPECT_EQ(FieldText(twelve.comSettings[L - 1].name), "com" + std::to_string(L));
  }
  // Written back: the text read, then the pairs it lacked.
  const std::string written = ToDiskLineEnds(BuildSetupText(twelve));
  const std::string readBack =
      ToDiskLineEnds(BuildSetupText(ParseSetupSettings(written, 12)));
  EXPECT_EQ(readBack, written);
  EXPECT_NE(written.find("9010,com9\tninth\r\ncom9,19200,e,7,2,h\tport nine\r\n"),
            std::string::npos);
  EXPECT_TRUE(written.ends_with("unused,unused\t\r\ncom12,9600,n,8,1,n\t\r\n"))
      << written;

  SetupSettings eight = ParseSetupSettings(text);
  EXPECT_EQ(eight.tcpPortText[9], "");
  EXPECT_EQ(BuildSetupText(eight).find("9010"), std::string::npos);
}

}  // namespace
}  // namespace qmx
