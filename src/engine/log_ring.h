// LogRing: the fixed-size ring that both logs (the control line's command log
// and the error log) keep their entries in.
//
// The index advances modulo the size; the wrapped flag becomes 1 once the
// index reaches size - 1 and stays 1, so the listing shows the slots written
// so far, oldest first, and after wrapping every non-empty slot from the
// oldest on. A ring is sized to kLogSize on its first entry.
//
// Thread-safe: every member takes the ring's own lock, so any thread may log
// (an accept thread refusing a peer, the relay thread, the window) without
// holding the engine's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/mutex.h"

namespace qmx {

inline constexpr int32_t kLogSize = 1000;

class LogRing {
 public:
  // Empties the ring and gives it `size` slots.
  void Size(int32_t size = kLogSize);
  void Append(const std::string& text);
  // Drops every entry and the slots; the next Append sizes the ring again.
  void Clear();
  std::vector<std::string> Listing() const;  // oldest first
  int32_t Index() const;
  int32_t Wrapped() const;

  // The ring's lock: only the members above take it, and take nothing under
  // it. Public so that engineLock can name it in its order (it comes first).
  mutable Mutex mutex;

 private:
  void AppendLocked(const std::string& text) REQUIRES(mutex);

  std::vector<std::string> slots_ GUARDED_BY(mutex);
  int32_t index_ GUARDED_BY(mutex) = 0;
  int32_t size_ GUARDED_BY(mutex) = 0;
  int32_t wrapped_ GUARDED_BY(mutex) = 0;
};

}  // namespace qmx
