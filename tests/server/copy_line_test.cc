// Copy lines (`receive`) never slow their port's own line: a copy client
// that stops reading, or that asks the server to stop sending (RFC 2217
// FLOWCONTROL-SUSPEND), is dropped once it falls too far behind, while the
// own line's client and a copy client that keeps up get every byte.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "fake_server.h"
#include "relay/relay_loop.h"
#include "telnet/telnet_codes.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

namespace tn = telnet;
using testsupport::WaitFor;

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// What an RFC 2217 client answers to the server's opening offers.
const std::string kAgree =
    Bytes({tn::kIac, tn::kDo, tn::kOptBinary, tn::kIac, tn::kWill, tn::kOptBinary,
           tn::kIac, tn::kDo, tn::kOptSuppressGoAhead, tn::kIac, tn::kWill,
           tn::kOptSuppressGoAhead, tn::kIac, tn::kWill, tn::kOptComPort});
const std::string kSuspend = Bytes(
    {tn::kIac, tn::kSb, tn::kOptComPort, tn::kFlowControlSuspend, tn::kIac, tn::kSe});
const std::string kResume = Bytes(
    {tn::kIac, tn::kSb, tn::kOptComPort, tn::kFlowControlResume, tn::kIac, tn::kSe});

// Far more than a copy client may fall behind, in bytes no Telnet session
// escapes (none is 0xFF).
std::string Stream() {
  std::string text(8 * kCopyBacklogLimit, '\0');
  for (size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char>((i * 131 + 5) % 251);
  return text;
}

class CopyLines : public FakeServer {
 protected:
  // A copy line of com1 and its port.
  int AddCopyLine() {
    const std::string reply = Command("receive com1");
    EXPECT_EQ(reply.rfind("200 receive data from com1", 0), 0u) << reply;
    return std::stoi(reply.substr(reply.rfind(' ') + 1));
  }

  // Feeds the whole stream into com1 while the own client and `steady` read
  // it; true when both got all of it, in order.
  bool StreamReachesEveryoneWhoReads(FakeDeviceEnd& com1, FakeClientEnd& own,
                                     FakeClientEnd& steady) {
    const std::string sent = Stream();
    for (size_t at = 0; at < sent.size();) {
      // The device's input waits while the relay holds enough of it.
      if (!WaitFor([&] { return com1.PendingInput() < 65536; })) return false;
      const size_t piece = std::min<size_t>(16384, sent.size() - at);
      com1.Feed(std::string_view(sent).substr(at, piece));
      at += piece;
    }
    return WaitFor([&] {
             return own.Received().size() >= sent.size() &&
                    steady.Received().size() >= sent.size();
           }) &&
           own.Received() == sent && steady.Received() == sent;
  }

  bool Logged(const std::string& start) {
    const auto log = server_->Table().ErrorLogListing();
    return std::any_of(log.begin(), log.end(), [&](const std::string& entry) {
      return entry.rfind(start, 0) == 0;
    });
  }
};

TEST_F(CopyLines, AClientThatStopsReadingIsDroppedAndSlowsNobody) {
  auto com1 = Bridge(1);
  Start();
  auto own = Connect(DataPort(1));
  const int steadyPort = AddCopyLine();
  const int stuckPort = AddCopyLine();
  auto steady = Connect(steadyPort);
  auto stuck = Connect(stuckPort);
  ASSERT_TRUE(own && steady && stuck);
  stuck->SetRoom(0);  // it never reads again

  EXPECT_TRUE(StreamReachesEveryoneWhoReads(*com1, *own, *steady));
  EXPECT_TRUE(stuck->Aborted());
  EXPECT_TRUE(Logged("TCP port " + std::to_string(stuckPort) +
                     " dropped 127.0.0.1: its copy fell more than"));
  // The copy line itself stays: the next client gets the port's bytes.
  auto next = Connect(stuckPort);
  ASSERT_NE(next, nullptr);
  com1->Feed("after");
  EXPECT_TRUE(next->WaitForReceived(5));
}

TEST_F(CopyLines, ASuspendedRemoteClientIsDroppedAndSlowsNobody) {
  auto com1 = Bridge(1);
  rfc2217Lines = 0b10;  // line 2, the first copy line, speaks RFC 2217
  Start();
  auto own = Connect(DataPort(1));
  const int remotePort = AddCopyLine();
  const int steadyPort = AddCopyLine();
  ASSERT_EQ(remotePort, DataPort(2));
  auto remote = Connect(remotePort);
  auto steady = Connect(steadyPort);
  ASSERT_TRUE(own && remote && steady);
  remote->Send(kAgree + kSuspend);  // takes everything, and asks for nothing

  EXPECT_TRUE(StreamReachesEveryoneWhoReads(*com1, *own, *steady));
  EXPECT_TRUE(remote->Aborted());
  EXPECT_TRUE(Logged("TCP port " + std::to_string(remotePort) + " dropped 127.0.0.1"));
}

TEST_F(CopyLines, TheOwnLinesSuspendStillHoldsThePortsInput) {
  auto com1 = Bridge(1);
  rfc2217Lines = 0b1;
  Start();
  auto own = Connect(DataPort(1));
  ASSERT_NE(own, nullptr);
  own->Send(kAgree + kSuspend);
  ASSERT_TRUE(WaitFor([&] { return own->PendingInput() == 0; }));
  const std::string sent = Stream().substr(0, 4 * kRelayChunk);
  com1->Feed(sent);
  // The hold fills and the port's input waits behind it, in the relay's
  // queue and the device: nothing is dropped and nobody is disconnected.
  ASSERT_TRUE(WaitFor([&] { return com1->PendingInput() < sent.size(); }));
  own->TakeReceived();  // the opening negotiation
  own->Send(kResume);
  EXPECT_TRUE(WaitFor([&] { return own->Received().size() >= sent.size(); }));
  EXPECT_TRUE(own->Received() == sent);
  EXPECT_FALSE(own->Aborted());
  EXPECT_FALSE(Logged("TCP port " + std::to_string(DataPort(1)) + " dropped"));
}

}  // namespace
}  // namespace qmx::test
