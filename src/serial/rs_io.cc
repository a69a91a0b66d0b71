// A port's receive thread, its writes and the small device helpers.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <span>

#include "platform/debug_trace.h"
#include "serial/rs_port.h"
#include "serial/serial_device.h"

namespace qmx {
namespace {

// The most one read takes from the device. A tty hands over at most what its
// line discipline holds (4095 bytes) per read, so this bounds only a device
// that buffers more. 500 (with a byte count asked first) cost 1661 system
// calls per MB in `qmx-bench --quick`, 34.1 MB/s device to client; reading
// up to 16384 until a read comes up short, 403 and 215.8 MB/s.
constexpr size_t kChunk = 16384;

// How long the receive thread rests after a hang-up (or a wake-up that
// brought nothing) before it looks at the device again.
constexpr int kRestMs = 150;

// Waits until the wake-up descriptor is signalled or `ms` have passed.
void Rest(int wakeFd, int ms) {
  pollfd wake{wakeFd, POLLIN, 0};
  (void)::poll(&wake, 1, ms);
}

// Reads what one wake-up of the device found waiting into the port's receive
// queue: read after read while each fills the buffer, so the thread goes back
// to poll only once a read came up short (the device has nothing more for
// now). `counters` is null for a device that keeps no error counters (a
// pseudo-terminal), so it is not asked on every wake-up. Returns the number
// of bytes brought.
long ServeReceive(int n, int fd, ErrorCounters* counters, std::span<uint8_t> buffer) {
  RsPort& port = rsPorts[n];
  ErrorCounters now;
  uint32_t flags = 0;
  if (counters != nullptr && ReadErrorCounters(fd, &now)) {
    flags = ErrorFlagsBetween(*counters, now);
    *counters = now;
  }
  rsError[n].exchange(flags);

  long total = 0;
  for (;;) {
    const long got = ReadSome(fd, buffer.data(), buffer.size());
    if (got == -EAGAIN || got == 0) break;  // nothing (more) waiting
    if (got < 0) {
      rsError[n].exchange(kRsReadError);
      RsClearError(n, static_cast<uint32_t>(-got));
      port.deviceGone.store(true);
      break;
    }
    const auto bytes = std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got));
    ByteQueue* queue = port.receiveQueue.load();
    Event* wake = port.receiveWake.load();
    const size_t fitted = queue != nullptr ? queue->PutSome(bytes) : bytes.size();
    if (fitted < bytes.size()) {
      // The queue is full. Wake the relay thread for what is in it, then
      // wait for room: the device's own flow control holds the sender back
      // meanwhile, instead of bytes being dropped here.
      if (!queue->Drain() && wake != nullptr) wake->Set();
      queue->PutWait(bytes.subspan(fitted), port.stopRequested);
    }
    DebugTracef("\n%ld bytes read", got);
    // The relay's shortcut sends the bytes on from this thread when it can;
    // otherwise the relay thread is woken for them.
    if (!(queue != nullptr && queue->Drain()) && wake != nullptr) wake->Set();
    total += got;
    if (port.stopRequested.load() || static_cast<size_t>(got) < buffer.size()) break;
  }
  return total;
}

struct WriteOutcome {
  bool refused = false;  // the first write failed outright
  size_t sent = 0;
};

// Writes `data` to the device, waiting for room until the deadline passes or
// the port's wake-up descriptor is signalled (RsClose). Called with
// writeMutex held.
WriteOutcome WriteWithin(int fd, int wakeFd, std::span<const uint8_t> data,
                         std::chrono::steady_clock::time_point deadline) {
  WriteOutcome outcome;
  long result = WriteSome(fd, data.data(), data.size());
  if (result < 0 && result != -EAGAIN) {
    outcome.refused = true;
    return outcome;
  }
  outcome.sent = result > 0 ? static_cast<size_t>(result) : 0;
  while (outcome.sent < data.size()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[1].revents != 0) break;
    result = WriteSome(fd, data.data() + outcome.sent, data.size() - outcome.sent);
    if (result > 0) outcome.sent += static_cast<size_t>(result);
    // A device in error (hung up) would report itself ready forever.
    if ((result < 0 && result != -EAGAIN) ||
        (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      break;
    }
  }
  return outcome;
}

std::chrono::steady_clock::time_point WriteDeadline(const RsTimeouts& timeouts,
                                                    size_t count) {
  const uint64_t ms =
      uint64_t{timeouts.writeTotalMultiplier} * count + timeouts.writeTotalConstant;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

void RsReadThread(int n) {
  RsPort& port = rsPorts[n];
  const int fd = port.handle.load();
  const int wakeFd = port.wakeFd;  // set by RsOpen before the thread started
  if (wakeFd < 0) {
    DebugTrace("Failed to create event for thread!\n");
    return;
  }
  rsError[n].exchange(0);
  DebugTrace("RsReadThread\n");

  ErrorCounters counters;
  ErrorCounters* const deviceCounters =
      ReadErrorCounters(fd, &counters) ? &counters : nullptr;
  bool hungUp = false;
  std::array<uint8_t, kChunk> buffer;
  while (port.running.load() != 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      rsError[n].exchange(kRsWaitError);
      RsClearError(n, static_cast<uint32_t>(errno));
      Rest(wakeFd, kRestMs);
      continue;
    }
    if (fds[1].revents != 0) continue;  // RsClose: running is 0 by now

    // A device that hung up (adapter pulled, other end of a pseudo-terminal
    // closed) stays "ready" for good; rest instead of spinning on it.
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      rsError[n].exchange(kRsReadError);
      if (!hungUp) RsClearError(n, EIO);
      hungUp = true;
      port.deviceGone.store(true);
      Rest(wakeFd, kRestMs);
      continue;
    }
    hungUp = false;
    if ((fds[0].revents & POLLIN) == 0) continue;
    if (ServeReceive(n, fd, deviceCounters, buffer) == 0) Rest(wakeFd, kRestMs);
  }
  Purge(fd, PurgeQueue::kInput);
}

int RsWrite(int n, const uint8_t* data, int count) {
  RsPort& port = rsPorts[n];
  MutexLock lock(port.writeMutex);
  // The wake-up descriptor exists only while the port is fully open.
  const int fd = port.handle.load();
  if (fd < 0 || port.wakeFd < 0 || count < 0) return 0;
  const auto bytes = std::span<const uint8_t>(data, static_cast<size_t>(count));

  // Most writes fit the device's buffer and complete at once, silently.
  const long first = WriteSome(fd, bytes.data(), bytes.size());
  if (first == count) return 1;
  if (first < 0 && first != -EAGAIN) return 0;

  const size_t already = first > 0 ? static_cast<size_t>(first) : 0;
  const WriteOutcome rest = WriteWithin(fd, port.wakeFd, bytes.subspan(already),
                                        WriteDeadline(port.timeouts, bytes.size()));
  const long sent = static_cast<long>(already + rest.sent);
  if (sent == count) {
    DebugTracef("\n%ld bytes written", sent);
  } else {
    DebugTracef("\nProbable Write Timeout: Total of %ld bytes sent", sent);
  }
  return 1;
}

int RsWriteNow(int n, const uint8_t* data, int count) {
  RsPort& port = rsPorts[n];
  MutexLock lock(port.writeMutex);
  const int fd = port.handle.load();
  if (fd < 0 || port.wakeFd < 0 || count < 0) return -1;
  const long written = WriteSome(fd, data, static_cast<size_t>(count));
  if (written == -EAGAIN) return 0;
  return written < 0 ? -1 : static_cast<int>(written);
}

int RsWaitHandle(int n) { return rsPorts[n].handle.load(); }

int RsClearError(int n, uint32_t code) {
  DebugTracef("\ndwError = %x", code);
  // Linux keeps no sticky error state that blocks further reads and writes;
  // the counters are read as differences, so there is nothing to reset.
  return rsPorts[n].handle.load() >= 0 ? 1 : 0;
}

char* RsRead(int n, int count, char* buffer) {
  const int fd = rsPorts[n].handle.load();
  long got = 0;
  if (fd >= 0 && count > 0) {
    got = ReadSome(fd, reinterpret_cast<uint8_t*>(buffer), static_cast<size_t>(count));
  }
  if (got < 0) got = 0;
  buffer[got] = '\0';
  return buffer + got;
}

int RsInCount(int n) {
  const int fd = rsPorts[n].handle.load();
  if (fd < 0) return 0;
  const int waiting = BytesWaiting(fd);
  return waiting > 0 ? waiting : 0;
}

}  // namespace qmx
