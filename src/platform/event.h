// Event: an auto-reset event, the wake-up signal between the receive threads
// and the relay thread.
//
// Set() wakes one waiter (or the next Wait() if nobody waits yet); several
// Set() calls before a Wait() count as one. Close() makes every present and
// future Wait() return kFailed, which is how the relay thread learns that the
// server has shut down. All members are safe to call from any thread.
//
// No lock is taken on any path. The signal is a bit in an atomic word; a
// Set() makes a system call (a write to an eventfd) only when it is the first
// signal since the last Wait() consumed one and a waiter is asleep, so a
// producer that queues chunk after chunk while the relay thread is busy costs
// no system call at all. A Wait() that finds the signal set returns at once
// without one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

namespace qmx {

class Event {
 public:
  enum class WaitResult { kSignaled, kTimeout, kFailed };

  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Opens the event again, not signalled, after a Close().
  void Open();
  void Set();
  void Close();
  bool IsOpen() const;
  WaitResult Wait(std::chrono::milliseconds timeout);

  // The same, and also returns (kTimeout) as soon as one of `writable`
  // descriptors can take bytes or reports an error. The relay thread waits
  // this way while a client or a device has output kept back, so it writes
  // again the moment there is room instead of after a fixed pause. A
  // negative descriptor is ignored; at most kMaxWritable are looked at.
  static constexpr size_t kMaxWritable = 16;
  WaitResult Wait(std::chrono::milliseconds timeout, std::span<const int> writable);

 private:
  static constexpr uint32_t kOpen = 1;
  static constexpr uint32_t kSignaled = 2;

  // Takes the signal if it is set: kSignaled, kFailed (closed), or kTimeout
  // when neither.
  WaitResult TryConsume();
  void Drain();
  void Kick();

  std::atomic<uint32_t> state_{0};
  std::atomic<int32_t> sleepers_{0};  // waiters in (or about to enter) poll
  int fd_ = -1;                       // eventfd; -1 when none could be made
};

}  // namespace qmx
