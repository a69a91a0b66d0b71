// Mutex: std::mutex with the annotations clang's lock analysis needs, and
// MutexLock, the scoped holder to take it with. Data marked GUARDED_BY a
// Mutex may only be touched, and functions marked REQUIRES it only called,
// while it is held; clang (-Wthread-safety) checks that at compile time.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

namespace qmx {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis the caller holds the mutex where it cannot see it
  // (a function reached through a pointer from a holder).
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

}  // namespace qmx
