#include "platform/event.h"

namespace qmx {

void Event::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  signaled_ = false;
}

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    if (!open_) return;
    signaled_ = true;
  }
  cv_.notify_one();
}

void Event::Close() {
  {
    std::lock_guard lock(mutex_);
    open_ = false;
    signaled_ = false;
  }
  cv_.notify_all();
}

bool Event::IsOpen() const {
  std::lock_guard lock(mutex_);
  return open_;
}

Event::WaitResult Event::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!open_) return WaitResult::kFailed;
  cv_.wait_for(lock, timeout, [this] { return signaled_ || !open_; });
  if (!open_) return WaitResult::kFailed;
  if (!signaled_) return WaitResult::kTimeout;
  signaled_ = false;  // auto-reset: one wait consumes the signal
  return WaitResult::kSignaled;
}

}  // namespace qmx
