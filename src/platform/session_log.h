// The session log: what the server's clients do (connects, disconnects with
// their byte counts, refusals, control commands with their reply codes), as
// one line per event for an operator's log. The window's error log keeps
// only errors; this is the rest of the story, written by the program that
// owns the server (qmxd: standard error) through a listener.
//
// Threads: any thread may write; the listener is called on the writer's
// thread, with no lock of the log held, so it may be slow or log itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/mutex.h"

namespace qmx {

// syslog priorities, as a journal reads them from a "<N>" prefix.
enum class LogPriority { kError = 3, kWarning = 4, kInfo = 6 };

class SessionLog {
 public:
  using Listener = std::function<void(LogPriority, const std::string&)>;

  // An empty listener writes nothing. Set before the server starts and
  // cleared after it stopped; a write under way may still reach the old one.
  void SetListener(Listener listener);
  void Write(LogPriority priority, const std::string& text);

 private:
  Mutex mutex_;
  std::shared_ptr<const Listener> listener_ GUARDED_BY(mutex_);
};

// What starts each line a program writes to its standard error for its log:
// "<6>" (the priority, which the journal takes off and keeps) when standard
// error is the journal's stream (`journal`), else the time
// "2026-12-09T02:36:12.345Z ".
std::string LogLinePrefix(LogPriority priority, bool journal);

// True when standard error is connected to the journal: JOURNAL_STREAM names
// the device and inode of the descriptor.
bool StderrIsJournal();

}  // namespace qmx
