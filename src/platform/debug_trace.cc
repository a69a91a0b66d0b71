#include "platform/debug_trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/mutex.h"

namespace qmx {
namespace {

// The sink is copied out under the lock and called after it is let go: a
// leaf of the lock order (platform/mutex.h): any other lock may be held.
Mutex sinkMutex;
std::shared_ptr<TraceSink> currentSink GUARDED_BY(sinkMutex);
std::atomic<bool> traceOn{false};

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void SetTraceSink(TraceSink sink) {
  MutexLock lock(sinkMutex);
  if (sink) {
    currentSink = std::make_shared<TraceSink>(std::move(sink));
    traceOn.store(true, std::memory_order_release);
  } else {
    currentSink.reset();
    traceOn.store(false, std::memory_order_release);
  }
}

void InitTraceFromEnvironment() {
  const char* target = std::getenv("QMX_TRACE");
  if (target == nullptr || *target == '\0') return;
  int fd = STDERR_FILENO;
  if (std::string_view(target) != "-") {
    fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "qmx: cannot open trace file %s\n", target);
      return;
    }
  }
  // The descriptor stays open for the life of the process.
  SetTraceSink([fd](std::string_view message) {
    std::string line;
    line.reserve(message.size() + 2);
    line.append("\r\n");
    line.append(message);
    WriteAll(fd, line);
  });
}

bool TraceEnabled() { return traceOn.load(std::memory_order_acquire); }

void DebugTrace(std::string_view message) {
  if (!TraceEnabled()) return;
  std::shared_ptr<TraceSink> sink;
  {
    MutexLock lock(sinkMutex);
    sink = currentSink;
  }
  if (sink) (*sink)(message);
}

void DebugTracef(const char* format, ...) {
  if (!TraceEnabled()) return;
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return;
  size_t length =
      static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1;
  DebugTrace(std::string_view(buffer, length));
}

}  // namespace qmx
