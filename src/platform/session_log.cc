#include "platform/session_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace qmx {

void SessionLog::SetListener(Listener listener) {
  std::shared_ptr<const Listener> made;
  if (listener) made = std::make_shared<const Listener>(std::move(listener));
  MutexLock lock(mutex_);
  listener_ = std::move(made);
}

void SessionLog::Write(LogPriority priority, const std::string& text) {
  std::shared_ptr<const Listener> listener;
  {
    MutexLock lock(mutex_);
    listener = listener_;
  }
  if (listener) (*listener)(priority, text);
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return false;
  return info.st_dev == device && info.st_ino == inode;
}

std::string LogLinePrefix(LogPriority priority, bool journal) {
  if (journal) return "<" + std::to_string(static_cast<int>(priority)) + ">";
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch())
          .count() %
      1000;
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof(text) - length, ".%03dZ ",
                static_cast<int>(millis));
  return text;
}

}  // namespace qmx
