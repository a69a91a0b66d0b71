// Shared set-up of the fault and load tests: a working directory with eight
// echo devices com1..com8 and a settings file that bridges data lines 1..8
// to them, the server run as qmxd or in this process, and the amount of
// traffic each test moves.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "e2e/harness.h"
#include "echo_stream.h"
#include "line_client.h"
#include "server_figures.h"
#include "testsupport/pty_device.h"

namespace qmx::test {

// Traffic and cycle counts are multiplied by this: QMX_STRESS_SCALE when
// set, else less under the sanitizers, whose builds run several times slower.
double TrafficScale();
// `count` scaled, but never below `floor`.
int Scaled(int count, int floor = 1);

class EightEchoLines : public ::testing::Test {
 protected:
  void SetUp() override;

  void StartQmxd();  // and waits until its control line greets
  void StartInProcess();

  // The server process's figures (qmxd only).
  load::ServerFigures Figures() const { return load::SampleServer(qmxd_->pid()); }
  // Expects the server's descriptors and threads to come back to `baseline`
  // (waiting a bounded time for them), then stops qmxd with SIGTERM and
  // expects exit status 0.
  void ExpectSettledThenCleanExit(const load::ServerFigures& baseline);
  // Stops qmxd with SIGTERM and expects exit status 0.
  void ExpectCleanExit();

  // The status report with every line bridged and OK.
  std::string ExpectedStatus() const;

  // A control session that stays connected; created by the Start calls.
  load::ControlSession& control() { return *control_; }

  ScratchDir dir_;
  int controlPort_ = 0;
  int port_[9] = {};                       // data line L's TCP port
  std::unique_ptr<PtyDevice> devices_[9];  // devices_[L] is com<L>
  std::unique_ptr<ServerProcess> qmxd_;
  std::unique_ptr<InProcessServer> inProcess_;
  std::unique_ptr<load::ControlSession> control_;
};

// An echo stream on its own thread until Finish(): it stops sending and
// waits for what is in flight. Sends at most `window` bytes ahead, so a test
// about something else never fills the line's whole echo loop.
class BackgroundStream {
 public:
  BackgroundStream(int port, uint64_t seed, uint64_t window = 16 * 1024,
                   std::chrono::milliseconds idleLimit = 30s);
  ~BackgroundStream() { Finish(); }
  uint64_t intact() const { return intact_.load(); }
  load::StreamOutcome Finish();

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> intact_{0};
  load::StreamOutcome outcome_;
  std::thread thread_;
};

// The qmxd exit status with its standard error, for assertion messages.
std::string ExitReport(ServerProcess& server, int status);

}  // namespace qmx::test
