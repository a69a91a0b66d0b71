// Event: an auto-reset event, the wake-up signal between the receive threads
// and the relay thread.
//
// Set() wakes one waiter (or the next Wait() if nobody waits yet); several
// Set() calls before a Wait() count as one. Close() makes every present and
// future Wait() return kFailed, which is how the relay thread learns that the
// server has shut down. All members are safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace qmx {

class Event {
 public:
  enum class WaitResult { kSignaled, kTimeout, kFailed };

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Opens the event again, not signalled, after a Close().
  void Open();
  void Set();
  void Close();
  bool IsOpen() const;
  WaitResult Wait(std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool signaled_ = false;
  bool open_ = false;
};

}  // namespace qmx
