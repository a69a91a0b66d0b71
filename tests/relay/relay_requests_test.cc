// Work handed to the relay thread: it runs there, in order, and a request the
// relay does not take in time never runs.
#include "relay/relay_requests.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace qmx {
namespace {

using namespace std::chrono_literals;

// A stand-in relay thread: runs what is queued whenever it is woken.
class RelayThread {
 public:
  explicit RelayThread(RelayRequests& requests) : requests_(requests) {
    wake_.Open();
    thread_ = std::thread([this] {
      while (wake_.Wait(10s) != Event::WaitResult::kFailed) requests_.RunPending();
    });
  }
  ~RelayThread() {
    wake_.Close();
    thread_.join();
  }
  Event& wake() { return wake_; }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  RelayRequests& requests_;
  Event wake_;
  std::thread thread_;
};

TEST(RelayRequests, WorkRunsOnTheRelayThreadInOrder) {
  RelayRequests requests;
  RelayThread relay(requests);
  std::thread::id ranOn;
  std::vector<int> order;
  EXPECT_EQ(requests.Run([&] { ranOn = std::this_thread::get_id(); }, relay.wake(), 10s),
            RelayRequests::Outcome::kDone);
  EXPECT_EQ(ranOn, relay.id());
  std::thread other([&] {
    for (int i = 0; i < 50; ++i)
      requests.Run([&, i] { order.push_back(i); }, relay.wake(), 10s);
  });
  other.join();
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

TEST(RelayRequests, UntakenWorkNeverRunsAndTakenWorkIsWaitedFor) {
  RelayRequests requests;
  Event wake;  // nobody waits on it: no relay thread runs
  wake.Open();
  bool ran = false;
  EXPECT_EQ(requests.Run([&] { ran = true; }, wake, 50ms),
            RelayRequests::Outcome::kNotRun);
  requests.RunPending();  // a relay that comes late finds nothing to run
  EXPECT_FALSE(ran);
  EXPECT_FALSE(requests.Pending());

  // Work that was taken is waited for past the limit: it may use the
  // asker's data.
  RelayThread relay(requests);
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  std::thread asker([&] {
    requests.Run(
        [&] {
          while (!release.load()) std::this_thread::yield();
          finished = true;
        },
        relay.wake(), 20ms);
    EXPECT_TRUE(finished.load());
  });
  std::this_thread::sleep_for(100ms);  // well past the asker's limit
  release = true;
  asker.join();
}

}  // namespace
}  // namespace qmx
