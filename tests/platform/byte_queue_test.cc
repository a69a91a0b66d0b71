#include "platform/byte_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

namespace qmx {
namespace {

using namespace std::chrono_literals;

TEST(ByteQueue, FullQueueRefusesAndCountsCapacity) {
  ByteQueue q;
  ASSERT_EQ(q.Allocate(5000), 1);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(q.Put(static_cast<uint8_t>(i)), 1);
  EXPECT_EQ(q.Put(1), 0);
  EXPECT_EQ(q.Count(), 5000);
  uint8_t b = 0;
  ASSERT_EQ(q.Get(&b), 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(q.Put(7), 1);  // one slot again, then full once more
  EXPECT_EQ(q.Put(8), 0);
  EXPECT_EQ(q.Count(), 5000);
  ASSERT_EQ(q.PeekLast(&b), 1);
  EXPECT_EQ(b, 7);
}

TEST(ByteQueue, OrderSurvivesTheWrap) {
  ByteQueue q;
  q.Allocate(5000);
  std::vector<uint8_t> junk(4990, 0);
  ASSERT_EQ(q.PutSome(junk), 4990u);
  std::vector<uint8_t> sink(4990);
  ASSERT_EQ(q.GetSome(sink), 4990u);
  // Slots 4990..4999 then 0..19.
  for (int i = 0; i < 30; ++i) ASSERT_EQ(q.Put(static_cast<uint8_t>(i)), 1);
  uint8_t b = 0;
  ASSERT_EQ(q.Peek(&b), 1);
  EXPECT_EQ(b, 0);
  ASSERT_EQ(q.PeekLast(&b), 1);
  EXPECT_EQ(b, 29);
  EXPECT_EQ(q.Count(), 30);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(q.Get(&b), 1);
    EXPECT_EQ(b, i);
  }
  EXPECT_EQ(q.Count(), 0);
}

TEST(ByteQueue, EmptyUnallocatedAndFreedQueues) {
  ByteQueue q;
  uint8_t b = 42;
  EXPECT_EQ(q.Put(1), 0);  // never allocated
  EXPECT_EQ(q.Get(&b), 0);
  EXPECT_EQ(b, 42);
  q.Allocate(5000);
  EXPECT_EQ(q.Get(&b), 0);  // empty leaves the byte alone
  EXPECT_EQ(b, 42);
  EXPECT_EQ(q.Peek(&b), 0);
  EXPECT_EQ(q.PeekLast(&b), 0);
  q.Put(3);
  q.Free();
  EXPECT_EQ(q.Put(1), 0);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Capacity(), 0);
}

TEST(ByteQueue, ReallocateKeepsCapacityAndEmpties) {
  ByteQueue q;
  q.Allocate(5000);
  q.Put(1);
  q.Put(2);
  EXPECT_EQ(q.Allocate(10), 1);
  EXPECT_EQ(q.Capacity(), 5000);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Allocate(0), 1);  // storage exists: the argument does not matter
}

TEST(ByteQueue, FailedAllocationLeavesQueueWithoutStorage) {
  ByteQueue q;
  EXPECT_EQ(q.Allocate(0), 0);
  EXPECT_EQ(q.Allocate(-5), 0);
  EXPECT_EQ(q.Put(1), 0);
}

TEST(ByteQueue, ChunkOperationsMatchSingleByteSemantics) {
  ByteQueue q;
  q.Allocate(10);
  std::vector<uint8_t> data(15);
  std::iota(data.begin(), data.end(), 0);
  EXPECT_EQ(q.PutSome(data), 10u);  // what does not fit is refused
  std::vector<uint8_t> out(4);
  EXPECT_EQ(q.GetSome(out), 4u);
  EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2, 3}));
  EXPECT_EQ(q.PutSome(std::span(data).subspan(10)), 4u);
  std::vector<uint8_t> rest(20);
  EXPECT_EQ(q.GetSome(rest), 10u);
  EXPECT_EQ(rest[0], 4);
  EXPECT_EQ(rest[9], 13);
}

// The relay sends straight from the ring: a wrapped run must come as two
// parts in order, never past the limit, and the room it frees must release a
// producer waiting for it.
TEST(ByteQueue, TakeRunsHandsOverTheRingInOrderAndFreesRoom) {
  ByteQueue q;
  q.Allocate(100);
  std::vector<uint8_t> first(90, 0);
  ASSERT_EQ(q.PutSome(first), 90u);
  ASSERT_EQ(q.GetSome(first), 90u);
  std::vector<uint8_t> data(100);
  std::iota(data.begin(), data.end(), uint8_t{0});
  ASSERT_EQ(q.PutSome(data), 100u);  // slots 90..99, then 0..89: full

  std::vector<size_t> runs;
  std::vector<uint8_t> taken;
  auto consume = [&](std::span<const uint8_t> run) {
    runs.push_back(run.size());
    taken.insert(taken.end(), run.begin(), run.end());
  };
  EXPECT_EQ(q.TakeRuns(25, consume), 25u);
  EXPECT_EQ(runs, (std::vector<size_t>{10, 15}));

  ASSERT_EQ(q.PutSome(std::vector<uint8_t>(25, 100)), 25u);  // full again
  std::atomic<bool> stop{false};
  std::vector<uint8_t> more(25, 200);
  std::thread producer([&] { EXPECT_EQ(q.PutWait(more, stop), 25u); });
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       q.WaitingProducers() == 0 && std::chrono::steady_clock::now() < deadline;)
    std::this_thread::yield();
  EXPECT_EQ(q.TakeRuns(1000, consume), 100u);
  producer.join();
  EXPECT_EQ(q.TakeRuns(1000, consume), 25u);
  ASSERT_EQ(taken.size(), 150u);
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(taken[i], i) << i;
  for (size_t i = 100; i < 125; ++i) ASSERT_EQ(taken[i], 100) << i;
  for (size_t i = 125; i < 150; ++i) ASSERT_EQ(taken[i], 200) << i;
  EXPECT_EQ(q.TakeRuns(1000, consume), 0u);
}

TEST(ByteQueue, WaitingProducerOutrunningConsumerLosesNoByte) {
  ByteQueue q;
  q.Allocate(5000);
  constexpr size_t kTotal = 2'000'000;
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::vector<uint8_t> chunk(2024);
    size_t sent = 0;
    while (sent < kTotal) {
      size_t n = std::min(chunk.size(), kTotal - sent);
      for (size_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>((sent + i) * 7);
      ASSERT_EQ(q.PutWait(std::span(chunk.data(), n), stop), n);
      sent += n;
    }
  });
  size_t received = 0;
  std::vector<uint8_t> buffer(1024);
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (received < kTotal && std::chrono::steady_clock::now() < deadline) {
    size_t n = q.GetSome(std::span(buffer.data(), 1 + received % 1024));  // slow, uneven
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(buffer[i], static_cast<uint8_t>((received + i) * 7)) << received + i;
    }
    received += n;
  }
  producer.join();
  EXPECT_EQ(received, kTotal);
}

TEST(ByteQueue, FreeResetAndStopReleaseAWaitingProducer) {
  for (int how = 0; how < 3; ++how) {
    ByteQueue q;
    q.Allocate(100);
    std::vector<uint8_t> fill(100, 1);
    q.PutSome(fill);
    std::atomic<bool> stop{false};
    std::atomic<bool> returned{false};
    std::thread producer([&] {
      std::vector<uint8_t> more(50, 2);
      EXPECT_EQ(q.PutWait(more, stop), 0u);
      returned = true;
    });
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (q.WaitingProducers() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    ASSERT_EQ(q.WaitingProducers(), 1);
    EXPECT_FALSE(returned.load());
    if (how == 0) q.Free();
    if (how == 1) q.Reset();
    if (how == 2) {
      stop = true;
      q.WakeWaiters();
    }
    producer.join();  // a producer that is not released hangs here
    EXPECT_TRUE(returned.load()) << how;
  }
}

// The producer hands its bytes to the consumer's drainer on its own thread;
// without a drainer (or when the drainer leaves bytes) it is told to wake
// the consumer instead.
std::atomic<int> drainedFor{-1};
bool TakeAll(void* context, int index) {
  drainedFor = index;
  uint8_t sink[64];
  while (static_cast<ByteQueue*>(context)->GetSome(sink) > 0) {
  }
  return true;
}
bool TakeNothing(void*, int) { return false; }

TEST(ByteQueue, DrainerRunsOnTheProducersThread) {
  ByteQueue q;
  q.Allocate(100);
  q.PutSome(std::vector<uint8_t>(80, 1));
  EXPECT_FALSE(q.Drain());  // no drainer: the consumer must be woken
  q.SetDrainer(&TakeAll, &q, 5);
  std::thread producer([&] {
    q.PutSome(std::vector<uint8_t>(10, 2));
    EXPECT_TRUE(q.Drain());
  });
  producer.join();
  EXPECT_EQ(drainedFor.load(), 5);
  EXPECT_EQ(q.Count(), 0);
  q.SetDrainer(&TakeNothing, &q, 1);
  q.Put(3);
  EXPECT_FALSE(q.Drain());
  EXPECT_EQ(q.Count(), 1);
  q.SetDrainer(nullptr, nullptr, 0);
  EXPECT_FALSE(q.Drain());
}

}  // namespace
}  // namespace qmx
