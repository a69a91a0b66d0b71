#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/fixed_text.h"
#include "platform/mutex.h"
#include "platform/tokenizer.h"

namespace qmx {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> AllFields(std::string_view text, std::string_view delimiters) {
  Tokenizer t(text, delimiters);
  std::vector<std::string> out;
  while (auto f = t.Next()) out.emplace_back(*f);
  return out;
}

TEST(Tokenizer, FollowsStrtokRules) {
  // Leading and repeated delimiters are skipped; no empty fields.
  EXPECT_EQ(AllFields(",, com1,,9600 ,n\n", " ,\t\n"),
            (std::vector<std::string>{"com1", "9600", "n"}));
  EXPECT_TRUE(AllFields("", " ,").empty());
  EXPECT_TRUE(AllFields(" , \n", " ,\n").empty());
  // Tab and LF are not delimiters of the command line: they stay in the word.
  EXPECT_EQ(AllFields("open\tcom1\r\n", " \r"),
            (std::vector<std::string>{"open\tcom1", "\n"}));
}

TEST(Tokenizer, RestStartsAfterTheDelimiterThatEndedTheField) {
  Tokenizer t("9001\tremark, text\n", " ,\t\n");
  EXPECT_EQ(*t.Next(), "9001");
  EXPECT_EQ(t.LastDelimiter(), '\t');
  EXPECT_EQ(t.Rest(), "remark, text\n");
  Tokenizer end("9001", " ");
  end.Next();
  EXPECT_EQ(end.Rest(), "");
}

TEST(FixedText, CopyCutsAtTheFieldWidth) {
  char flow[8];
  CopyField(flow, "hardware-flow");
  EXPECT_EQ(FieldText(flow), "hardwar");
  CopyField(flow, "x");
  EXPECT_EQ(FieldText(flow), "x");
  CopyField(flow, "");
  EXPECT_EQ(FieldText(flow), "");
}

TEST(Event, AutoResetSignalTimeoutAndClose) {
  Event e;
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kFailed);  // never opened
  e.Open();
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kTimeout);
  e.Set();
  e.Set();  // two signals before a wait count as one
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kSignaled);
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kTimeout);

  // Close wakes a thread that is waiting, and fails every later wait.
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = static_cast<int>(e.Wait(10s)); });
  while (!e.IsOpen()) {
  }
  std::this_thread::sleep_for(20ms);  // let the waiter block; the result holds either way
  e.Close();
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(Event::WaitResult::kFailed));
  EXPECT_EQ(e.Wait(1ms), Event::WaitResult::kFailed);
}

TEST(Event, SignalFromAnotherThreadWakesTheWaiter) {
  Event e;
  e.Open();
  std::thread setter([&] { e.Set(); });
  EXPECT_EQ(e.Wait(10s), Event::WaitResult::kSignaled);
  setter.join();
}

// A producer that counts and signals, and a consumer that waits only when it
// has seen every count so far: a signal lost between the consumer's look and
// its sleep would leave it waiting for the full minute.
TEST(Event, NoSignalIsLostBetweenTwoThreads) {
  Event e;
  e.Open();
  constexpr int kRounds = 20000;
  std::atomic<int> produced{0};
  std::thread producer([&] {
    for (int i = 0; i < kRounds; ++i) {
      produced.fetch_add(1);
      e.Set();
      if (i % 64 == 0)
        std::this_thread::yield();  // let the consumer fall asleep now and then
    }
  });
  int seen = 0;
  int missed = 0;
  while (seen < kRounds) {
    if (produced.load() > seen) {
      seen = produced.load();
      continue;
    }
    if (e.Wait(60s) != Event::WaitResult::kSignaled && produced.load() == seen) ++missed;
  }
  producer.join();
  EXPECT_EQ(missed, 0);
}

// The relay waits for a kept-back output this way: the wait ends when the
// descriptor can take bytes again, without a signal and long before its
// time-out.
TEST(Event, WaitEndsWhenAWatchedDescriptorHasRoom) {
  Event e;
  e.Open();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  std::vector<char> block(65536, 'x');
  while (::write(fds[1], block.data(), block.size()) > 0) {
  }
  const int watched[] = {-1, fds[1]};  // a negative descriptor is passed over
  auto waiter = std::async(std::launch::async, [&] { return e.Wait(600s, watched); });
  EXPECT_EQ(waiter.wait_for(50ms),
            std::future_status::timeout);  // still full: still waiting
  while (::read(fds[0], block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(waiter.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(waiter.get(), Event::WaitResult::kTimeout);
  // A signal set meanwhile is still reported first.
  e.Set();
  EXPECT_EQ(e.Wait(1s, watched), Event::WaitResult::kSignaled);
  ::close(fds[0]);
  ::close(fds[1]);
}

struct Guarded {
  Mutex mutex;
  CondVar changed;
  bool ready GUARDED_BY(mutex) = false;
};

// Whether a thread other than the caller can take `mutex` at this moment.
bool FreeForAnotherThread(Mutex& mutex) {
  return std::async(std::launch::async,
                    [&mutex] {
                      if (!mutex.try_lock()) return false;
                      mutex.unlock();
                      return true;
                    })
      .get();
}

TEST(CondVar, WaitLetsTheSignallerInAndEndsWithItsSignal) {
  Guarded g;
  std::thread signaller;
  bool signalled = true;
  {
    MutexLock lock(g.mutex);
    // The signaller can only set `ready` while the wait has let go of the
    // mutex; a wait that kept it would run into the time-out.
    signaller = std::thread([&g] {
      MutexLock inner(g.mutex);
      g.ready = true;
      g.changed.Signal();
    });
    while (!g.ready && signalled) signalled = g.changed.WaitFor(g.mutex, 10s);
    EXPECT_TRUE(g.ready);
  }
  signaller.join();
  EXPECT_TRUE(signalled);
}

TEST(CondVar, TimedWaitWithoutSignalTimesOutNoSoonerAndHoldsTheMutexAgain) {
  Guarded g;
  MutexLock lock(g.mutex);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + 30ms;
  // A wake-up without a signal may come early: wait again for the rest.
  bool timedOut = false;
  while (!timedOut && Clock::now() < deadline + 10s)
    timedOut = !g.changed.WaitFor(g.mutex, deadline - Clock::now());
  EXPECT_TRUE(timedOut);
  EXPECT_GE(Clock::now(), deadline);
  EXPECT_FALSE(FreeForAnotherThread(g.mutex));
}

// The relay's shortcuts: a turn taken with try_lock is handed to a holder,
// which lets it go when it ends.
TEST(Mutex, HolderThatAdoptsATryLockLetsGoAtItsEnd) {
  Mutex mutex;
  {
    if (!mutex.try_lock()) FAIL() << "a free mutex refused try_lock";
    MutexLock holder(mutex, kAdoptLock);
    EXPECT_FALSE(FreeForAnotherThread(mutex));
  }
  EXPECT_TRUE(FreeForAnotherThread(mutex));
}

}  // namespace
}  // namespace qmx
