// Mutex: std::mutex with the annotations clang's lock analysis needs;
// MutexLock, the scoped holder to take it with; and CondVar, a condition
// variable to wait on with a Mutex held. Data marked GUARDED_BY a Mutex may
// only be touched, and functions marked REQUIRES it only called, while it is
// held; clang (-Wthread-safety) checks that at compile time.
//
// Lock order
// ----------
// Every lock of the server, outermost first. A thread holding one never
// waits for one above it; locks on the same level are never held together.
//   1. a port's turn         (relay_loop.cc) the relay's sends to one device
//   2. a data line's turn    (relay_loop.cc) the relay's sends to one client;
//                            several in ascending line order
//   3. engineLock            (engine/line_table.h) the line table, ports, listeners
//   4. ByteQueue::mutex      each queue; TakeRuns hands bytes on under it
//   5. TcpLine::clientMutex  a line's client socket
//      RsPort::writeMutex    a port's device writes
//   6. leaves, under which nothing else is taken: LogRing::mutex (the logs),
//      configMutex and refusalMutex (net_access.cc), sinkMutex (debug_trace.cc),
//      SessionLog::mutex_, a TLS connection's session lock (tls_connection.h),
//      the TLS credentials' lock (tls_credentials.h)
// The declarations say the same with ACQUIRED_BEFORE / ACQUIRED_AFTER where
// they can name each other; clang checks it with -Wthread-safety-beta.
//
// What the order cannot show:
//   - A receive thread only ever tries a turn (try_lock) and leaves its bytes
//     to the relay thread when the turn is taken, so it never waits for one.
//   - Holders of engineLock join accept and receive threads (TcpDisconnect,
//     RsClose), so those threads never wait for engineLock; RsClose joins its
//     port's receive thread with writeMutex held, and that thread never writes.
#pragma once

#include <chrono>
#include <condition_variable>
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
  friend class CondVar;
  std::mutex mutex_;
};

// Tag for MutexLock to take charge of a mutex its caller has locked already
// (with a try_lock that succeeded).
struct AdoptLock {};
inline constexpr AdoptLock kAdoptLock{};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  MutexLock(Mutex& mutex, AdoptLock) REQUIRES(mutex) : mutex_(mutex) {}
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// A condition variable whose waits name the Mutex they hold, so the analysis
// checks that it is held. Every wait on one CondVar uses the same Mutex. A
// wait may end without a signal: callers wait in a loop on their condition.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Lets go of `mutex` while it waits and holds it again when it returns.
  void Wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // the caller still holds it
  }

  // Wait, but for `timeout` at most; false when the time ran out.
  template <class Rep, class Period>
  bool WaitFor(Mutex& mutex, std::chrono::duration<Rep, Period> timeout) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    const std::cv_status status = cv_.wait_for(lock, timeout);
    lock.release();
    return status == std::cv_status::no_timeout;
  }

  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace qmx
