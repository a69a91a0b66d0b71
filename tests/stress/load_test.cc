// Load on every line at once: megabytes each way through all eight data lines
// while the control line is busy, and a stop signal in the middle of it.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "stress_support.h"

namespace qmx::test {
namespace {

class Load : public EightEchoLines {};

// Echo devices close a loop through the relay thread: it must never stand
// still in a serial write while the same port's input waits for it.
TEST_F(Load, EightLinesCarryMegabytesEachWayWhileStatusRuns) {
  StartQmxd();
  const uint64_t bytes = static_cast<uint64_t>(Scaled(4 << 20, 512 << 10));
  std::array<load::StreamOutcome, 9> outcomes;
  std::atomic<int> finished{0};
  std::vector<std::thread> streams;
  for (int L = 1; L <= 8; ++L) {
    streams.emplace_back([&, L] {
      load::LineSocket socket(port_[L], 10s);
      if (socket.connected()) {
        load::StreamOptions options;
        options.bytes = bytes;
        options.seed = static_cast<uint64_t>(L);
        options.timeLimit = 60s;
        outcomes[L] = load::RunEchoStream(socket, options);
      } else {
        outcomes[L].failure = "no connection";
      }
      ++finished;
    });
  }
  // The control line answers all along, and every answer is the full report.
  const std::string expected = ExpectedStatus();
  int statusRuns = 0;
  std::string wrongStatus;
  const auto deadline = std::chrono::steady_clock::now() + 300s;
  while (finished.load() < 8 && std::chrono::steady_clock::now() < deadline) {
    const std::string reply = control().Command("status", 10s);
    if (reply != expected && wrongStatus.empty())
      wrongStatus = reply.empty() ? "(none)" : reply;
    ++statusRuns;
  }
  for (std::thread& stream : streams) stream.join();

  for (int L = 1; L <= 8; ++L) {
    EXPECT_TRUE(outcomes[L].whole()) << "line " << L << ": " << outcomes[L].Describe();
    EXPECT_EQ(outcomes[L].sent, bytes) << "line " << L;
  }
  EXPECT_GT(statusRuns, 1);
  EXPECT_EQ(wrongStatus, "");
  ExpectCleanExit();
}

TEST_F(Load, SigtermWhileEveryLineIsBusyEndsQmxdWithExitZero) {
  StartQmxd();
  std::atomic<bool> stop{false};
  std::array<std::atomic<uint64_t>, 9> intact{};
  std::array<load::StreamOutcome, 9> outcomes;
  std::vector<std::thread> threads;
  for (int L = 1; L <= 8; ++L) {
    threads.emplace_back([&, L] {
      load::LineSocket socket(port_[L], 10s);
      load::StreamOptions options;
      options.seed = static_cast<uint64_t>(100 + L);
      options.stop = &stop;
      options.idleLimit = 20s;
      options.intactCounter = &intact[static_cast<size_t>(L)];
      if (socket.connected()) outcomes[L] = load::RunEchoStream(socket, options);
    });
  }
  // The control line is busy too: status after status until the server goes.
  threads.emplace_back([&] {
    for (int run = 0; run < 100000 && !stop.load(); ++run) {
      if (control().Command("status", 10s).empty()) break;
    }
  });
  const bool allBusy = WaitFor(
      [&] {
        for (int L = 1; L <= 8; ++L) {
          if (intact[static_cast<size_t>(L)].load() < 64 * 1024) return false;
        }
        return true;
      },
      60s);

  const int status = qmxd_->Terminate(10s);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(allBusy);
  EXPECT_EQ(status, 0) << ExitReport(*qmxd_, status);
  // Up to the end, every byte that came back was the right one.
  for (int L = 1; L <= 8; ++L) {
    EXPECT_EQ(outcomes[L].intact, outcomes[L].received)
        << "line " << L << ": " << outcomes[L].Describe();
  }
  EXPECT_TRUE(control().socket().WaitPeerClosed(5s));
}

}  // namespace
}  // namespace qmx::test
