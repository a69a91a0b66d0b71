// A descriptor whose readiness a fake sets by hand, for the poll loop of the
// fake's owner: the polled end of a local socket pair. It is readable while
// one byte waits on it, and not writable while its own send buffer is full of
// bytes the other end has not taken. Both are levels that hold until the next
// Set, and every change wakes poll, select and epoll (level- or
// edge-triggered) like any socket's would.
//
// The owner only waits on the handle; reading or writing it breaks the fake.
//
// Threads: not locked. Each fake calls Set under its own mutex.
#pragma once

namespace qmx::testsupport {

class WaitSignal {
 public:
  // Starts neither readable nor not writable: idle, with room.
  WaitSignal();
  ~WaitSignal();
  WaitSignal(const WaitSignal&) = delete;
  WaitSignal& operator=(const WaitSignal&) = delete;

  bool ok() const { return polled_ >= 0; }
  int handle() const { return polled_; }
  void Set(bool readable, bool writable);

 private:
  int polled_ = -1;
  int other_ = -1;
  bool readable_ = false;
  bool writable_ = true;
};

}  // namespace qmx::testsupport
