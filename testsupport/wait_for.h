// Bounded waits for tests and tools: look at a condition every few
// milliseconds until it holds or the limit passes. The limit is a safety net
// against a hang, never a statement about how fast something must be.
//
// Threads: any thread; the condition runs on the caller's.
#pragma once

#include <chrono>
#include <thread>

namespace qmx::testsupport {

// True once `condition()` holds; false when `limit` passed first.
template <class Condition>
bool WaitFor(Condition&& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace qmx::testsupport
