// ByteQueue: the only channel through which bytes pass between threads.
//
// A fixed-capacity ring of bytes with its own lock, one producer thread (a
// serial or TCP receive thread) and one consumer thread (the relay thread),
// plus the thread that allocates and frees it (window or relay thread). Every
// operation holds the queue's lock for its whole run. Equal indexes mean empty
// when hasData is 0 and full when hasRoom is 0, so all `capacity` slots are
// usable. A queue without storage accepts and yields nothing.
//
// Put refuses a byte when the queue is full. Producers that must not lose data
// use PutWait instead: it waits for room, so a fast sender is slowed down by
// its own flow control (TCP window, tty buffer) rather than robbed of bytes.
// The wait ends at once when the queue is freed, reset or re-allocated, or
// when the producer's stop flag is set and WakeWaiters() is called.
//
// The consumer may hand the producer a drainer: a function the producer calls
// (Drain) right after it queued bytes, which takes them on the producer's own
// thread when it can, so the consumer thread need not be woken for them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/mutex.h"

namespace qmx {

class ByteQueue {
 public:
  ByteQueue() = default;
  ~ByteQueue() = default;
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  // Obtains `capacity` bytes if the queue has no storage (0 when that fails);
  // an existing storage keeps its capacity. Either way the queue is emptied.
  int32_t Allocate(int32_t capacity);
  int32_t Reset();
  void Free();

  int32_t Put(uint8_t byte);
  int32_t Get(uint8_t* byte);
  int32_t Peek(uint8_t* byte);
  int32_t PeekLast(uint8_t* byte);
  int32_t Count();
  int32_t Capacity();

  // Chunk forms with the same semantics as a run of Put or Get calls, under
  // one lock: PutSome stores as many bytes as fit and returns that number;
  // GetSome takes up to out.size() bytes and returns how many it took.
  size_t PutSome(std::span<const uint8_t> data);
  size_t GetSome(std::span<uint8_t> out);

  // Takes up to `limit` bytes like GetSome, but hands them to `consume`
  // where they lie in the ring, in at most two runs (the ring's end splits
  // them), instead of copying them out first. `consume` runs with the
  // queue's lock held, so the storage cannot be freed or refilled under it;
  // it must take every byte it is given (send it or keep a copy), must not
  // block, and must not call this queue. Returns the number taken.
  template <typename Consume>
  size_t TakeRuns(size_t limit, Consume&& consume) {
    MutexLock lock(mutex);
    size_t taken = 0;
    while (taken < limit && hasData_) {
      const std::span<const uint8_t> run = FrontRunLocked(limit - taken);
      consume(run);
      taken += run.size();
      DropFrontLocked(run.size());
    }
    if (taken > 0 && waiters_ > 0) roomAvailable_.SignalAll();
    return taken;
  }

  // Stores every byte, waiting for room while the queue is full. Returns the
  // number stored, which is less than data.size() only when the queue has no
  // storage, was freed, reset or re-allocated during the call, or `stop`
  // became true (the stopper then calls WakeWaiters()).
  size_t PutWait(std::span<const uint8_t> data, const std::atomic<bool>& stop);

  // Makes every waiting PutWait look at its stop flag again.
  void WakeWaiters();

  // Number of producers blocked in PutWait right now.
  int32_t WaitingProducers();

  // `drainer(context, index)` returns true when it left nothing in the queue
  // for the consumer thread. Set (or, with null, removed) by the consumer,
  // whose `context` outlives every producer; Drain is called by the producer
  // and returns false without a drainer, which tells the producer to wake
  // the consumer as usual.
  using Drainer = bool (*)(void* context, int index);
  void SetDrainer(Drainer drainer, void* context, int index);
  bool Drain();

  // The queue's lock: only the members above take it. It is public so that
  // the locks around it can name it in their order (platform/mutex.h): taken
  // after engineLock and the relay's turns, before a line's clientMutex and a
  // port's writeMutex (TakeRuns' consumers send under it).
  Mutex mutex;

 private:
  void ResetLocked() REQUIRES(mutex);
  size_t PutLocked(std::span<const uint8_t> data) REQUIRES(mutex);
  // The queued bytes that lie contiguous from the read index, at most `limit`.
  std::span<const uint8_t> FrontRunLocked(size_t limit) const REQUIRES(mutex);
  void DropFrontLocked(size_t count) REQUIRES(mutex);

  CondVar roomAvailable_;  // waited on with `mutex` held
  int32_t writeIndex_ GUARDED_BY(mutex) = 0;
  int32_t readIndex_ GUARDED_BY(mutex) = 0;
  int32_t hasRoom_ GUARDED_BY(mutex) = 0;
  int32_t hasData_ GUARDED_BY(mutex) = 0;
  int32_t capacity_ GUARDED_BY(mutex) = 0;
  std::unique_ptr<uint8_t[]> buffer_ GUARDED_BY(mutex);
  uint64_t generation_ GUARDED_BY(mutex) = 0;  // changes on Allocate, Reset and Free
  int32_t waiters_ GUARDED_BY(mutex) = 0;      // producers blocked in PutWait
  std::atomic<Drainer> drainer_{nullptr};
  std::atomic<void*> drainContext_{nullptr};
  std::atomic<int> drainIndex_{0};
};

}  // namespace qmx
