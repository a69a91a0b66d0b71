// Serial ports that fail or are reopened under the server: a device that
// vanishes mid-stream and comes back, and a port closed and opened again a
// hundred times while clients use its line (each close holds every line for
// the socket layer's disconnect wait, so the count stays modest here; the
// soak goes on for as long as it is asked).
#include <gtest/gtest.h>

#include <thread>

#include "stress_support.h"

namespace qmx::test {
namespace {

class DeviceFaults : public EightEchoLines {
 protected:
  std::string OpenedReply(int L) const {
    return "200 opened by 9600,n,8,1,n. Port is " + std::to_string(port_[L]) + "\r\n";
  }
  void ReplaceDevice(int L) {
    devices_[L].reset();
    std::string error;
    devices_[L] =
        PtyDevice::Create(dir_.path() + "/com" + std::to_string(L), Play::kEcho, &error);
    ASSERT_TRUE(devices_[L]) << error;
  }
};

TEST_F(DeviceFaults, DeviceThatVanishesMidStreamServesAgainAfterCloseAndOpen) {
  StartQmxd();
  const load::ServerFigures baseline = Figures();
  BackgroundStream steady(port_[2], 77);
  const int rounds = Scaled(6, 3);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    BackgroundStream victim(port_[1], 1000 + static_cast<uint64_t>(round), 16 * 1024,
                            10s);
    const uint64_t before = devices_[1]->echoed();
    ASSERT_TRUE(WaitFor([&] { return devices_[1]->echoed() > before + 32 * 1024; }, 30s));
    devices_[1]->Hangup();
    // The server lives on without the device: the control line answers.
    EXPECT_NE(control().Command("status com1", 10s), "");
    if (round % 2 == 1) {
      // Reopened while the name points at nothing: refused.
      ASSERT_EQ(control().Command("close com1", 10s), "200 OK\r\n");
      MissingDevice("com1");
      EXPECT_EQ(control().Command("open com1", 10s), "420 Failed to open com port\r\n");
      // The server now waits for the device; close ends the waiting, so the
      // open below is the one that brings the port back.
      EXPECT_EQ(control().Command("close com1", 10s), "200 OK\r\n");
      ReplaceDevice(1);
    } else {
      ReplaceDevice(1);
      ASSERT_EQ(control().Command("close com1", 10s), "200 OK\r\n");
    }
    ASSERT_EQ(control().Command("open com1", 10s), OpenedReply(1));
    // Closing the port dropped its client; what came back before the fault
    // was intact.
    // The client learns it on a read (the end of the stream) or on its next
    // send (a reset), whichever comes first.
    const load::StreamOutcome cut = victim.Finish();
    EXPECT_TRUE(cut.failure == "connection ended" || cut.failure == "send failed")
        << cut.Describe();
    EXPECT_EQ(cut.intact, cut.received) << cut.Describe();

    // The new device relays, from its first byte.
    load::LineSocket fresh(port_[1], 10s);
    load::StreamOptions options;
    options.bytes = static_cast<uint64_t>(Scaled(256 << 10, 64 << 10));
    options.seed = static_cast<uint64_t>(round);
    options.window = 16 * 1024;
    options.timeLimit = 60s;
    const load::StreamOutcome after = load::RunEchoStream(fresh, options);
    EXPECT_TRUE(after.whole()) << after.Describe();
  }
  const load::StreamOutcome outcome = steady.Finish();
  EXPECT_TRUE(outcome.whole()) << outcome.Describe();
  EXPECT_GT(outcome.sent, 0u);

  ExpectSettledThenCleanExit(baseline);
}

TEST_F(DeviceFaults, PortClosedAndOpenedAgainAndAgainWhileClientsUseIt) {
  StartQmxd();
  const load::ServerFigures baseline = Figures();
  BackgroundStream steady(port_[2], 78);
  // A client of the reopened line that comes back each time it is dropped
  // and checks that the line echoes while it is open.
  std::atomic<bool> stop{false};
  std::atomic<int> roundTrips{0};
  std::thread hopper([&] {
    for (int i = 0; i < 1000000 && !stop.load(); ++i) {
      load::LineSocket client(port_[1], 1s);
      const std::string token = "<hop " + std::to_string(i) + ">";
      if (client.connected() && client.SendAll(token, 1s) &&
          client.ReadUntil(token, 2s).find(token) != std::string::npos) {
        ++roundTrips;
      }
    }
  });
  const int cycles = Scaled(200, 25);
  int done = 0;
  for (; done < cycles; ++done) {
    const std::string closed = control().Command("close com1", 10s);
    const std::string opened = control().Command("open com1", 10s);
    if (closed != "200 OK\r\n" || opened != OpenedReply(1)) {
      ADD_FAILURE() << "cycle " << done << ": " << closed << opened;
      break;
    }
  }
  stop = true;
  hopper.join();
  EXPECT_EQ(done, cycles);
  EXPECT_GT(roundTrips.load(), 0);
  EXPECT_TRUE(load::ProbeLine(port_[1], "<after the cycles>", 20s));
  const load::StreamOutcome outcome = steady.Finish();
  EXPECT_TRUE(outcome.whole()) << outcome.Describe();

  ExpectSettledThenCleanExit(baseline);
}

}  // namespace
}  // namespace qmx::test
