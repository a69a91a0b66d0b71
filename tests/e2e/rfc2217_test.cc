// Data lines that speak Telnet with remote port control, end to end: a plain
// TCP client writes the Telnet bytes itself against the in-process server,
// with pseudo-terminals as the devices.
#include <asm/termbits.h>  // termios2; never with <termios.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <mutex>
#include <string>
#include <thread>

#include "engine/line_table.h"
#include "harness.h"
#include "telnet/telnet_codes.h"

namespace qmx::test {
namespace {

namespace tn = telnet;

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// IAC SB COM-PORT-OPTION <command> <value...> IAC SE, the value as given.
std::string ComPort(uint8_t command, const std::string& value) {
  return Bytes({tn::kIac, tn::kSb, tn::kOptComPort, command}) + value +
         Bytes({tn::kIac, tn::kSe});
}

std::string Baud(uint32_t rate) {
  return Bytes({static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16),
                static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)});
}

const std::string kOpening =
    Bytes({tn::kIac, tn::kWill, tn::kOptBinary, tn::kIac, tn::kDo, tn::kOptBinary,
           tn::kIac, tn::kWill, tn::kOptSuppressGoAhead, tn::kIac, tn::kDo,
           tn::kOptSuppressGoAhead, tn::kIac, tn::kDo, tn::kOptComPort});

// The client's agreement to everything the server offered.
const std::string kAgree =
    Bytes({tn::kIac, tn::kDo, tn::kOptBinary, tn::kIac, tn::kWill, tn::kOptBinary,
           tn::kIac, tn::kDo, tn::kOptSuppressGoAhead, tn::kIac, tn::kWill,
           tn::kOptSuppressGoAhead, tn::kIac, tn::kWill, tn::kOptComPort});

class Rfc2217 : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    settings_.control = std::to_string(control_);
    for (int L = 1; L <= 8; ++L) port_[L] = FreeTcpPort();
  }
  void TearDown() override {
    server_.Stop();
    Table().SetRfc2217Lines(0);
  }
  void Start() {
    dir_.WriteFile("qmx.txt", settings_.Text());
    server_.Start();
    client_ = std::make_unique<ControlClient>(control_);
  }
  // A client of data line L that has read the opening and agreed to it.
  std::unique_ptr<TcpClient> Connect(int L) {
    auto c = std::make_unique<TcpClient>(port_[L]);
    EXPECT_EQ(c->ReadCount(kOpening.size()), kOpening);
    c->Send(kAgree);
    return c;
  }

  ScratchDir dir_;
  Settings settings_;
  InProcessServer server_;
  int control_ = 0;
  int port_[9] = {};
  std::unique_ptr<ControlClient> client_;
};

// The output speed the server set on the device, as a plain number.
unsigned DeviceSpeed(const PtyDevice& device) {
  termios2 t{};
  if (::ioctl(device.slave(), TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

// A bridged remote line: negotiation, a new baud rate in force on the device
// and in the line table, IAC doubled both ways, DTR and purge answered, data
// held while the client asked to stop; a raw line beside it is unchanged and
// a copy line of the port changes nothing.
TEST_F(Rfc2217, BridgedLineChangesItsPortAndCopyLineOnlyAnswers) {
  PtyDevice com1("com1", Play::kSelf), com2("com2", Play::kSelf);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  settings_.tcp[2] = std::to_string(port_[2]);
  settings_.serial[2] = "com2";
  settings_.tcp[3] = std::to_string(port_[3]);
  settings_.serial[3] = "receive com1";
  Table().SetRfc2217Lines(0b101);  // lines 1 and 3; line 2 stays raw
  Start();

  auto line1 = Connect(1);
  // Once the option is agreed the server reports the modem lines (a
  // pseudo-terminal has none), then answers the new rate with the rate.
  line1->Send(ComPort(tn::kSetBaudRate, Baud(19200)));
  const std::string baudReply =
      ComPort(tn::kSetBaudRate + tn::kServerOffset, Baud(19200));
  EXPECT_NE(line1->ReadUntil(baudReply).find(baudReply), std::string::npos);
  EXPECT_EQ(DeviceSpeed(com1), 19200u);
  const std::string status19200 =
      "200 is opened by 19200,n,8,1,n. Port is " + std::to_string(port_[1]) + ". \r\n";
  EXPECT_EQ(client_->Command("status com1"), status19200);
  {
    MutexLock lock(Table().engineLock);
    EXPECT_STREQ(Table().comSettings[0].baud, "19200");
    EXPECT_STREQ(Table().comSettings[0].definition, "19200,n,8,1");
  }

  // A request the parser cannot take keeps the rate in force.
  line1->Send(ComPort(tn::kSetDataSize, Bytes({9})));
  const std::string sizeReply = ComPort(tn::kSetDataSize + tn::kServerOffset, Bytes({8}));
  EXPECT_NE(line1->ReadUntil(sizeReply).find(sizeReply), std::string::npos);

  // IAC doubled from the client is one byte on the device, and the other way.
  line1->Send(Bytes({'a', tn::kIac, tn::kIac, 'b'}));
  EXPECT_EQ(com1.Read(3), Bytes({'a', tn::kIac, 'b'}));
  com1.Write(Bytes({'c', tn::kIac, 'd'}));
  EXPECT_EQ(line1->ReadCount(4), Bytes({'c', tn::kIac, tn::kIac, 'd'}));

  // DTR on a pseudo-terminal: the state asked for is answered; purge too.
  line1->Send(ComPort(tn::kSetControl, Bytes({tn::kControlDtrOff})) +
              ComPort(tn::kSetControl, Bytes({tn::kControlAskDtr})) +
              ComPort(tn::kPurgeData, Bytes({tn::kPurgeBoth})));
  const std::string controlReplies =
      ComPort(tn::kSetControl + tn::kServerOffset, Bytes({tn::kControlDtrOff})) +
      ComPort(tn::kSetControl + tn::kServerOffset, Bytes({tn::kControlDtrOff})) +
      ComPort(tn::kPurgeData + tn::kServerOffset, Bytes({tn::kPurgeBoth}));
  EXPECT_EQ(line1->ReadCount(controlReplies.size()), controlReplies);

  // The raw line passes IAC as it is.
  TcpClient line2(port_[2]);
  line2.Send(Bytes({tn::kIac, tn::kIac}));
  EXPECT_EQ(com2.Read(2), Bytes({tn::kIac, tn::kIac}));
  com2.Write(Bytes({tn::kIac}));
  EXPECT_EQ(line2.ReadCount(1), Bytes({tn::kIac}));

  // The copy line answers with the settings in force and changes nothing.
  auto line3 = Connect(3);
  line3->Send(ComPort(tn::kSetBaudRate, Baud(9600)) +
              ComPort(tn::kSetControl, Bytes({tn::kControlFlowHardware})));
  const std::string copyReplies =
      ComPort(tn::kSetBaudRate + tn::kServerOffset, Baud(19200)) +
      ComPort(tn::kSetControl + tn::kServerOffset, Bytes({tn::kControlFlowNone}));
  EXPECT_NE(line3->ReadUntil(copyReplies).find(copyReplies), std::string::npos);
  EXPECT_EQ(DeviceSpeed(com1), 19200u);
  EXPECT_EQ(client_->Command("status com1"), status19200);

  // Suspended, line 1 gets nothing of what the port sends; the copy line,
  // served in the same pass, shows that the relay has taken it. The held
  // bytes come after the answer to a later command, once resumed.
  line1->Send(ComPort(tn::kFlowControlSuspend, ""));
  const std::string signatureAsk = ComPort(tn::kSignature, "");
  line1->Send(signatureAsk);
  EXPECT_NE(line1->ReadUntil("serial port server").find("serial port server"),
            std::string::npos);
  com1.Write("held\xff");
  EXPECT_EQ(line3->ReadCount(6), std::string("held\xff\xff"));
  line1->Send(signatureAsk);
  std::string before = line1->ReadUntil("serial port server");
  EXPECT_EQ(before.find("held"), std::string::npos);
  line1->Send(ComPort(tn::kFlowControlResume, ""));
  EXPECT_NE(line1->ReadUntil("held\xff\xff").find("held\xff\xff"), std::string::npos);

  // A new client of line 1 gets a new session and its opening.
  line1.reset();
  auto again = Connect(1);
  again->Send("x");
  EXPECT_EQ(com1.Read(1), "x");
}

// A raw line beside a remote line moves its bytes as fast as without one
// (its receive threads hand them on themselves), and loses none while the
// remote line's session changes its port's settings over and over.
TEST_F(Rfc2217, RawLineBesideARemoteLineRelaysEveryByteBothWays) {
  PtyDevice com1("com1", Play::kEcho), com2("com2", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  settings_.tcp[2] = std::to_string(port_[2]);
  settings_.serial[2] = "com2";
  Table().SetRfc2217Lines(0b1);
  Start();
  auto line1 = Connect(1);
  std::string pattern;
  for (int i = 0; i < 256 * 1024; ++i)
    pattern += static_cast<char>((i * 7 + i / 256) & 0xFF);
  TcpClient line2(port_[2]);
  std::string echoed;
  std::thread reader([&] { echoed = line2.ReadCount(pattern.size(), 60s); });
  std::thread writer([&] { line2.Send(pattern); });
  for (uint32_t rate : {19200u, 38400u, 9600u, 57600u, 9600u}) {
    line1->Send(ComPort(tn::kSetBaudRate, Baud(rate)));
    const std::string reply = ComPort(tn::kSetBaudRate + tn::kServerOffset, Baud(rate));
    EXPECT_NE(line1->ReadUntil(reply).find(reply), std::string::npos) << rate;
    line1->Send("ping");
    EXPECT_NE(line1->ReadUntil("ping").find("ping"), std::string::npos) << rate;
  }
  writer.join();
  reader.join();
  EXPECT_TRUE(echoed == pattern) << echoed.size() << " of " << pattern.size();
}

}  // namespace
}  // namespace qmx::test
