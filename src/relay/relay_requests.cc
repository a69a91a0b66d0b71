#include "relay/relay_requests.h"

#include <utility>

namespace qmx {

RelayRequests::Outcome RelayRequests::Run(std::function<void()> work, Event& wake,
                                          std::chrono::milliseconds limit) {
  auto request = std::make_shared<Request>();
  request->work = std::move(work);
  MutexLock lock(mutex_);
  queue_.push_back(request);
  wake.Set();
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (request->state == Request::State::kQueued) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      // Never taken: it must not run later, when what it uses may be gone.
      request->state = Request::State::kCancelled;
      return Outcome::kNotRun;
    }
    changed_.WaitFor(mutex_, left);
  }
  while (request->state != Request::State::kDone) changed_.Wait(mutex_);
  return Outcome::kDone;
}

void RelayRequests::RunPending() {
  for (;;) {
    std::shared_ptr<Request> request;
    {
      MutexLock lock(mutex_);
      while (!queue_.empty() && queue_.front()->state == Request::State::kCancelled) {
        queue_.pop_front();
      }
      if (queue_.empty()) return;
      request = queue_.front();
      queue_.pop_front();
      request->state = Request::State::kRunning;
    }
    request->work();
    MutexLock lock(mutex_);
    request->state = Request::State::kDone;
    changed_.SignalAll();
  }
}

bool RelayRequests::Pending() const {
  MutexLock lock(mutex_);
  return !queue_.empty();
}

}  // namespace qmx
