// open, close, status and receive end to end, through a real control client,
// with the effect on the data lines checked as a client sees it.
#include "protocol/commands.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/line_table.h"
#include "harness.h"
#include "net/socket_layer.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"

namespace qmx::test {
namespace {

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    settings_.control = std::to_string(control_);
    for (int L = 1; L <= 8; ++L) port_[L] = FreeTcpPort();
  }
  // Lines 1..8 listed with their ports but "unused" serial ports unless set.
  void Start() {
    dir_.WriteFile("qmx.txt", settings_.Text());
    server_.Start();
    control_client_ = std::make_unique<ControlClient>(control_);
  }
  std::string Cmd(const std::string& c) { return control_client_->Command(c); }
  // The port the server opened for data line L (its socket record's port).
  int LinePort(int L) {
    return std::stoi(std::string(FieldText(Table().net.tcpLines[L].port)));
  }

  ScratchDir dir_;
  Settings settings_;
  InProcessServer server_;
  int control_ = 0;
  int port_[9] = {};
  std::unique_ptr<ControlClient> control_client_;
};

TEST_F(Commands, OpenWithFullPartialAndSavedSettings) {
  PtyDevice com1("com1", Play::kEcho), com2("com2", Play::kEcho),
      com3("com3", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);  // configured, serial port unused
  settings_.com[2] = "com3,4800,o,7,2,x";
  Start();
  EXPECT_EQ(Cmd("open"), "501 No parameter\r\n");
  EXPECT_EQ(Cmd("open " + std::string(201, 'c')), "501 No parameter\r\n");
  EXPECT_EQ(Cmd("open com9"), "502 unused port\r\n");

  // Full settings: the line's configured port listens, even though its
  // serial port was "unused" at start-up.
  EXPECT_EQ(Cmd("OPEN COM1,19200,E,7,2,H"),
            "200 opened by 19200,e,7,2,h. Port is " + std::to_string(port_[1]) + "\r\n");
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(FieldText(Table().comSettings[0].definition), "19200,e,7,2");
    EXPECT_EQ(FieldText(Table().comSettings[0].flow), "h");
  }
  {
    TcpClient c(port_[1]);
    c.Send("ping");
    EXPECT_EQ(c.ReadCount(4), "ping");  // through the echo device and back
  }
  EXPECT_EQ(Cmd("open com1"), "423 has already opened\r\n");

  // Partial: definition stays the saved one, the baud text is stored.
  EXPECT_EQ(Cmd("open com2,2400"), "200 opened by 9600,n,8,1,n. Port is " +
                                       std::to_string(LinePort(2)) + "\r\n");
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(FieldText(Table().comSettings[1].baud), "2400");
    EXPECT_EQ(FieldText(Table().comSettings[1].definition), "9600,n,8,1");
  }

  // Saved settings alone.
  EXPECT_EQ(Cmd("open com3"), "200 opened by 4800,o,7,2,x. Port is " +
                                  std::to_string(LinePort(3)) + "\r\n");

  // An over-long flow field is cut at the saved field's width.
  EXPECT_EQ(Cmd("close com3"), "200 OK\r\n");
  EXPECT_EQ(Cmd("open com3,9600,n,8,1,xonxoff-flow-control"),
            "200 opened by 9600,n,8,1,xonxoff-flow-control. Port is " +
                std::to_string(LinePort(3)) + "\r\n");
  MutexLock lock(Table().engineLock);
  EXPECT_EQ(FieldText(Table().comSettings[2].flow), "xonxoff");
}

TEST_F(Commands, OpenOfAMissingDeviceReportsAndStatusShowsUnused) {
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  MissingDevice("com1");
  Start();  // com1 has no device: its line is NG
  EXPECT_EQ(LineStatus(1), "NG");
  EXPECT_EQ(Cmd("open com1"), "420 Failed to open com port\r\n");
  std::string status = Cmd("status");
  EXPECT_NE(status.find("1:unused-unused unused\r\n"), std::string::npos) << status;

  // The device is plugged in later: open now works and really listens.
  // Its line's TCP port text is "unused" now, so the line listens on its
  // socket record's port, and really does.
  std::filesystem::remove("com1");
  PtyDevice com1("com1", Play::kEcho);
  EXPECT_EQ(Cmd("open com1"), "200 opened by 9600,n,8,1,n. Port is " +
                                  std::string(FieldText(Table().net.tcpLines[1].port)) +
                                  "\r\n");
  EXPECT_TRUE(Listening(LinePort(1)));
}

TEST_F(Commands, StatusReportAndPortStatus) {
  PtyDevice com1("com1", Play::kEcho), com2("com2", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  settings_.tcp[2] = std::to_string(port_[2]);
  settings_.serial[2] = "com2";
  settings_.tcp[4] = std::to_string(port_[4]);
  settings_.serial[4] = "receive com1";
  Start();
  std::string expected =
      "200 Status is:\r\n1:" + std::to_string(port_[1]) +
      "-com1 OK\r\n2:" + std::to_string(port_[2]) +
      "-com2 OK\r\n3:unused-unused unused\r\n4:" + std::to_string(port_[4]) +
      "-receive com1 OK\r\n";
  for (int L = 5; L <= 8; ++L)
    expected += std::to_string(L) + ":unused-unused unused\r\n";
  EXPECT_EQ(Cmd("status"), expected);
  EXPECT_EQ(Cmd("STATUS COM1"), "200 is opened by 9600,n,8,1,n. Port is " +
                                    std::to_string(port_[1]) + ". \r\n");
  EXPECT_EQ(Cmd("status com3"), "422 com3 doesn't open\r\n");
  EXPECT_EQ(Cmd("status com9"), "502 unused port\r\n");
}

TEST(StatusText, ErrorWordBitsInReportOrder) {
  EXPECT_EQ(ErrorWordText(0), "");
  EXPECT_EQ(ErrorWordText(CE_FRAME | CE_BREAK), "Receive Framing error Break Detected ");
  EXPECT_EQ(ErrorWordText(kRsReadError | CE_RXOVER | CE_OVERRUN | CE_RXPARITY | 0x8000 |
                          0x4000 | 0x0100),
            "Receive Handle Error Receive Queue overflow Receive Overrun Error Receive "
            "Parity Error ");
  EXPECT_EQ(ErrorWordText(kRsWaitError), "Receive Event Error ");
}

TEST_F(Commands, CloseByTcpPortAndByName) {
  PtyDevice com1("com1", Play::kSelf);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  settings_.tcp[3] = std::to_string(port_[3]);
  settings_.serial[3] = "receive com1";
  settings_.tcp[5] = std::to_string(port_[5]);
  settings_.serial[5] = "receive com1";
  Start();
  EXPECT_EQ(Cmd("close"), "501 No parameter\r\n");
  EXPECT_EQ(Cmd("close " + std::to_string(control_)), "502 don't close port\r\n");
  EXPECT_EQ(Cmd("close 9999"), "502 unused port\r\n");
  EXPECT_EQ(Cmd("close com9"), "502 unused port\r\n");
  EXPECT_EQ(Cmd("close com2"), "422 not opened\r\n");

  // By TCP port: com1 and line 1 close, the copy lines keep listening.
  TcpClient bridged(port_[1]);
  ASSERT_TRUE(WaitFor([] { return Table().net.TcpClientFd(1) >= 0; }));
  EXPECT_EQ(Cmd("close " + std::to_string(port_[1])), "200 OK\r\n");
  EXPECT_TRUE(bridged.WaitClosed());
  EXPECT_FALSE(Listening(port_[1]));
  EXPECT_LT(Table().serial.rsPorts[0].handle.load(), 0);
  EXPECT_TRUE(Listening(port_[3]));
  EXPECT_EQ(Table().routeTable[2].load(), 0);

  // Reopen at once; by name it closes the port and every copy line.
  EXPECT_EQ(Cmd("open com1"),
            "200 opened by 9600,n,8,1,n. Port is " + std::to_string(port_[1]) + "\r\n");
  TcpClient copy(port_[3]);
  ASSERT_TRUE(WaitFor([] { return Table().net.TcpClientFd(3) >= 0; }));
  com1.Write("abc");
  EXPECT_EQ(copy.ReadCount(3), "abc");
  EXPECT_EQ(Cmd("close com1"), "200 OK\r\n");
  EXPECT_TRUE(copy.WaitClosed());
  for (int L : {1, 3, 5}) {
    EXPECT_FALSE(Listening(port_[L])) << L;
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(Table().tcpPortText[L], "unused");
    EXPECT_EQ(Table().LineStatusText(L), "unused");
    EXPECT_EQ(Table().routeTable[L - 1].load(), -1);
  }
}

TEST_F(Commands, ReceiveRoutesACopyToTheNextFreeLine) {
  PtyDevice com1("com1", Play::kSelf);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  Start();
  EXPECT_EQ(Cmd("receive"), "501 No parameter\r\n");
  EXPECT_EQ(Cmd("receive com2"), "423 not open\r\n");
  // Line 2 has no configured port: it gets its socket record's default.
  std::string reply = Cmd("receive com1");
  EXPECT_EQ(reply, "200 receive data from com1. Port is " + std::to_string(LinePort(2)) +
                       "\r\n");
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(Table().serialPortText[2], "receive com1");
  }
  TcpClient bridged(port_[1]);
  TcpClient copy(LinePort(2));
  ASSERT_TRUE(WaitFor(
      [] { return Table().net.TcpClientFd(1) >= 0 && Table().net.TcpClientFd(2) >= 0; }));
  com1.Write("hello");
  EXPECT_EQ(bridged.ReadCount(5), "hello");
  EXPECT_EQ(copy.ReadCount(5), "hello");

  for (int i = 3; i <= 8; ++i) EXPECT_EQ(Cmd("receive com1").substr(0, 3), "200") << i;
  EXPECT_EQ(Cmd("receive com1"), "421 can't more open\r\n");
}

TEST_F(Commands, OpenCloseCycleWithAClientConnected) {
  PtyDevice com1("com1", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  Start();
  for (int i = 0; i < 20; ++i) {
    TcpClient c(port_[1]);
    c.Send("x" + std::to_string(i));
    EXPECT_EQ(c.ReadCount(1 + std::to_string(i).size()), "x" + std::to_string(i));
    EXPECT_EQ(Cmd("close com1"), "200 OK\r\n");
    EXPECT_TRUE(c.WaitClosed());
    ASSERT_EQ(Cmd("open com1").substr(0, 3), "200");
  }
}

}  // namespace
}  // namespace qmx::test
