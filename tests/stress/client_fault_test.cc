// Clients that misbehave: one that stops reading, thousands that come and go
// in every way a connection can end, and garbage on the control line.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "net/socket_layer.h"
#include "stress_support.h"

namespace qmx::test {
namespace {

using load::ChurnKind;
using load::GarbageKind;

class ClientFaults : public EightEchoLines {};

// Waits until the device has sent nothing for a second (its bytes have
// backed up through the server to the stalled client), or has sent far more
// than any buffer on the way holds.
bool WaitUntilBackedUp(const PtyDevice& device) {
  uint64_t seen = device.echoed();
  for (int second = 0; second < 60; ++second) {
    std::this_thread::sleep_for(1s);
    const uint64_t now = device.echoed();
    if (now == seen || now > (64u << 20)) return true;
    seen = now;
  }
  return false;
}

TEST_F(ClientFaults, StalledClientIsDroppedAfterTheLimitWhileOtherLinesRelay) {
  constexpr int kStallLimitMs = 8000;
  // Line 1's device talks without end; its client never reads.
  std::string error;
  devices_[1] = PtyDevice::Create(dir_.path() + "/com1", Play::kSource, &error);
  ASSERT_TRUE(devices_[1]) << error;
  StartInProcess();
  Table().net.SetSendStallLimitForTest(kStallLimitMs);
  load::LineSocket stalled(port_[1], 10s, /*receiveBuffer=*/4096);
  ASSERT_TRUE(stalled.connected());
  ASSERT_TRUE(WaitFor([] { return Table().net.TcpClientFd(1) >= 0; }));

  // While the stalled line is backed up, the seven others carry round trips,
  // each round long before the stalled client's limit is up.
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(WaitUntilBackedUp(*devices_[1]));
    for (int L = 2; L <= 8; ++L) {
      const std::string token = "<line " + std::to_string(L) + ">";
      EXPECT_TRUE(load::ProbeLine(port_[L], token, 30s)) << "line " << L;
    }
    ASSERT_GE(Table().net.TcpClientFd(1), 0)
        << "round " << round << ": the other lines waited for the stalled client";
  }

  // Then the server gives it up, and the client learns so.
  EXPECT_TRUE(WaitFor([] { return Table().net.TcpClientFd(1) < 0; },
                      std::chrono::milliseconds(kStallLimitMs) + 30s));
  EXPECT_TRUE(stalled.WaitPeerClosed(10s)) << "dropped, but the client was never told";
  // The line serves the next client.
  load::LineSocket next(port_[1], 10s);
  EXPECT_NE(next.ReadUntil("DDDD", 10s).find("DDDD"), std::string::npos);
}

TEST_F(ClientFaults, ThousandsOfConnectsAndDisconnectsLeaveNothingBehind) {
  StartQmxd();
  const load::ServerFigures baseline = Figures();
  constexpr int kKinds = static_cast<int>(ChurnKind::kCount);
  const int roundsPerLine = Scaled(80, 15);  // each round: every kind once, then a probe
  std::array<std::atomic<int>, kKinds> failed{};
  std::array<std::atomic<int>, 9> probesFailed{};
  std::vector<std::thread> churners;
  for (int L = 1; L <= 8; ++L) {
    churners.emplace_back([&, L] {
      for (int round = 0; round < roundsPerLine; ++round) {
        for (int k = 0; k < kKinds; ++k) {
          const int kind = (k + round + L) % kKinds;
          if (!load::ChurnOnce(port_[L], static_cast<ChurnKind>(kind))) {
            ++failed[static_cast<size_t>(kind)];
          }
        }
        // The line has served every connection before it: the listen
        // queue is empty again, and the line still echoes.
        const std::string token = "<probe " + std::to_string(round) + ">";
        if (!load::ProbeLine(port_[L], token, 20s))
          ++probesFailed[static_cast<size_t>(L)];
      }
    });
  }
  for (std::thread& churner : churners) churner.join();
  for (int k = 0; k < kKinds; ++k) {
    EXPECT_EQ(failed[static_cast<size_t>(k)].load(), 0)
        << load::ChurnKindName(static_cast<ChurnKind>(k));
  }
  for (int L = 1; L <= 8; ++L) {
    EXPECT_EQ(probesFailed[static_cast<size_t>(L)].load(), 0) << "line " << L;
  }

  ExpectSettledThenCleanExit(baseline);
}

TEST_F(ClientFaults, GarbageOnTheControlLineIsAnsweredAndSurvived) {
  StartQmxd();
  std::mt19937_64 random(20240611);
  const size_t large = static_cast<size_t>(Scaled(60000, 15000));
  for (int k = 0; k < static_cast<int>(GarbageKind::kCount); ++k) {
    const auto kind = static_cast<GarbageKind>(k);
    for (size_t size : {size_t{3000}, large}) {
      for (size_t pieces : {size_t{1}, size / 5}) {
        const std::string garbage = load::MakeGarbage(kind, size, random);
        SCOPED_TRACE(std::string(load::GarbageKindName(kind)) + ", " +
                     std::to_string(size) + " bytes in " + std::to_string(pieces) +
                     " sends");
        ASSERT_TRUE(control().SendGarbage(garbage, pieces, 120s));
        ASSERT_TRUE(control().AnswersHello(60s));
      }
    }
  }
  // A line far too long is refused as one bad request.
  EXPECT_EQ(control().Command(std::string(5000, 'q'), 30s), "500 Bad Request\r\n");

  // A command typed one byte per send is still one command.
  const std::string typed = "status\r";
  for (char c : typed) ASSERT_TRUE(control().socket().SendAll(std::string(1, c), 5s));
  const std::string expected = "status\r\n" + ExpectedStatus();
  EXPECT_EQ(control().socket().ReadUntil(expected, 30s), expected);

  // Clients that leave mid-line, or while a storm's echo is still coming
  // back: the next one is greeted and answered.
  control_.reset();
  for (int round = 0; round < 3; ++round) {
    load::ControlSession leaving(controlPort_, 20s);
    ASSERT_TRUE(leaving.connected()) << "round " << round;
    // Small enough that the unread replies fit the buffers on the way: a
    // client that stops reading altogether is a stall, tested above.
    leaving.socket().SendAll(round == 0
                                 ? std::string(2000, 'z')
                                 : load::MakeGarbage(GarbageKind::kFfStorm, 2000, random),
                             10s);
    if (round == 2) leaving.socket().Reset();
  }
  control_ = std::make_unique<load::ControlSession>(controlPort_, 20s);
  ASSERT_TRUE(control().connected());
  EXPECT_TRUE(control().AnswersHello(30s));
  for (int L = 1; L <= 8; ++L) {
    EXPECT_TRUE(load::ProbeLine(port_[L], "<after garbage>", 20s)) << "line " << L;
  }
  ExpectCleanExit();
}

}  // namespace
}  // namespace qmx::test
