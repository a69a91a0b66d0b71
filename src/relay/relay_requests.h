// RelayRequests: work that another thread hands to the relay thread, the way
// the window's OK and serial setup change the lines: the relay thread runs it
// between two passes, as it runs a control command, and the asking thread
// waits for it with a bound. So the window thread never opens or closes a
// port, joins a thread or sleeps; it waits for an answer.
//
// Threads: Run on any thread but the relay thread; RunPending on the relay
// thread only. The queue's lock is a leaf: the work runs without it.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>

#include "platform/event.h"
#include "platform/mutex.h"

namespace qmx {

class RelayRequests {
 public:
  enum class Outcome {
    kDone,    // the relay thread ran it
    kNotRun,  // the relay thread did not take it in time; it never runs
  };

  // Queues `work`, wakes the relay thread through `wake` and waits up to
  // `limit` for the work to be taken. Work that was taken is always waited
  // for to its end (it may use the caller's data), however long it runs.
  Outcome Run(std::function<void()> work, Event& wake, std::chrono::milliseconds limit);

  // Runs every request queued so far, in order. The relay thread, once a
  // pass.
  void RunPending();

  // True while requests wait; for the relay to know it has work.
  bool Pending() const;

 private:
  struct Request {
    std::function<void()> work;
    enum class State { kQueued, kRunning, kDone, kCancelled } state = State::kQueued;
  };

  mutable Mutex mutex_;
  CondVar changed_;
  std::deque<std::shared_ptr<Request>> queue_ GUARDED_BY(mutex_);
};

}  // namespace qmx
