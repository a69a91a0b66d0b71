// Start-up outcomes and the settings file across a restart.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/line_table.h"
#include "harness.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"

namespace qmx::test {
namespace {

class Startup : public ::testing::Test {
 protected:
  ScratchDir dir_;
  InProcessServer server_;
};

TEST_F(Startup, NoSettingsFileLeavesEveryLineUnused) {
  server_.Start();
  for (int L = 0; L < 9; ++L) {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(Table().tcpPortText[L], "unused");
    EXPECT_EQ(Table().LineStatusText(L), "");
  }
  for (int n = 0; n < 8; ++n) EXPECT_EQ(Table().routeTable[n].load(), -1);
  EXPECT_EQ(ErrorLogEntries(),
            std::vector<std::string>{
                "QMX\u3000Cann't open qmx.txt: No such file or directory"});
}

TEST_F(Startup, EachKindOfLineGetsItsStatus) {
  PtyDevice com2("com2", Play::kEcho);
  int busyPort = FreeTcpPort();
  TcpClient* none = nullptr;
  (void)none;
  // Something else already listens on line 4's port.
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(busyPort));
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);

  PtyDevice com4("com4", Play::kEcho);
  MissingDevice("com1");
  Settings s;
  s.control = std::to_string(FreeTcpPort());
  int missingPort = FreeTcpPort();
  s.tcp[1] = std::to_string(missingPort);
  s.serial[1] = "com1";  // no such device
  s.tcp[2] = std::to_string(FreeTcpPort());
  s.serial[2] = "com2";
  s.tcp[3] = std::to_string(FreeTcpPort());
  s.serial[3] = "com4";  // not this line's own port
  s.tcp[4] = std::to_string(busyPort);
  s.serial[4] = "com4";
  s.tcp[5] = std::to_string(FreeTcpPort());
  s.serial[5] = "receive com6";  // port 6 comes later: not in service yet
  s.tcp[6] = std::to_string(FreeTcpPort());
  s.serial[6] = "unused";
  dir_.WriteFile("qmx.txt", s.Text());
  server_.Start();

  EXPECT_EQ(LineStatus(0), "OK");
  EXPECT_EQ(LineStatus(1), "NG");
  EXPECT_FALSE(Listening(missingPort));
  {
    MutexLock lock(Table().engineLock);  // guards the port's texts
    EXPECT_EQ(FieldText(Table().serial.rsPorts[0].name), "");
  }
  EXPECT_EQ(LineStatus(2), "OK");
  EXPECT_EQ(LineStatus(3), "");
  EXPECT_EQ(LineStatus(4), "NG");
  EXPECT_GE(Table().serial.rsPorts[3].handle.load(),
            0);  // the port stays open, its route set
  EXPECT_EQ(Table().routeTable[3].load(), 3);
  EXPECT_EQ(LineStatus(5), "NG");
  EXPECT_EQ(Table().routeTable[4].load(), -1);
  EXPECT_EQ(LineStatus(6), "unused");
  auto errors = ErrorLogEntries();
  EXPECT_EQ(errors, (std::vector<std::string>{
                        "com1 open failure: com1: No such file or directory",
                        "TCP port " + std::to_string(busyPort) +
                            " open failure: Address already in use"}));
  ::close(blocker);
}

TEST_F(Startup, SaveThenRestartRestoresEverything) {
  PtyDevice com1("com1", Play::kEcho);
  Settings s;
  int control = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(FreeTcpPort());
  s.serial[1] = "com1";
  s.tcp[2] = std::to_string(FreeTcpPort());
  s.serial[2] = "receive com1";
  s.com[0] = "com1,19200,e,7,2,h";
  s.minimize = "1";
  std::string text = s.Text();
  // Remarks on some lines.
  text.replace(text.find(s.control + "\t"), s.control.size() + 1,
               s.control + "\tthe control line");
  dir_.WriteFile("qmx.txt", text);
  server_.Start();
  {
    ControlClient c(control);
    EXPECT_EQ(c.Command("save"), "200 saved setup\r\n");
  }
  decltype(Table().tcpPortText) tcp;
  decltype(Table().serialPortText) serial;
  decltype(Table().setupRemarks) remarks;
  {
    MutexLock lock(Table().engineLock);
    tcp = Table().tcpPortText;
    serial = Table().serialPortText;
    remarks = Table().setupRemarks;
  }
  std::string saved = dir_.ReadFile("qmx.txt");
  server_.Stop();
  EXPECT_EQ(saved, text);  // the file the server wrote is the one it read

  server_.Start();
  MutexLock lock(Table().engineLock);
  EXPECT_EQ(Table().tcpPortText, tcp);
  EXPECT_EQ(Table().serialPortText, serial);
  EXPECT_EQ(Table().setupRemarks, remarks);
  EXPECT_EQ(Table().setupRemarks[1], "the control line");
  EXPECT_EQ(FieldText(Table().comSettings[0].definition), "19200,e,7,2");
  EXPECT_EQ(Table().startMinimized, 1);
  EXPECT_EQ(Table().LineStatusText(1), "OK");
  EXPECT_EQ(Table().LineStatusText(2), "OK");
}

}  // namespace
}  // namespace qmx::test
