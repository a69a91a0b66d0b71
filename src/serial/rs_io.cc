// A port's receive thread, its writes and the small device helpers.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <span>

#include "platform/debug_trace.h"
#include "serial/device.h"
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

// Traces the system's error code behind a receive error. Linux keeps no error
// state that would block further reads and writes, so nothing is reset.
void TraceDeviceError(uint32_t code) { DebugTracef("\ndwError = %x", code); }

// Waits until the wake-up descriptor is signalled or `ms` have passed.
void Rest(int wakeFd, int ms) {
  pollfd wake{wakeFd, POLLIN, 0};
  (void)::poll(&wake, 1, ms);
}

// Adds what each of the device's line counters moved between two readings
// (nothing for one that went back: the device was replaced or reset).
void AddLineErrors(PortTally& tally, const ErrorCounters& before,
                   const ErrorCounters& after) {
  auto add = [](std::atomic<uint64_t>& total, int from, int to) {
    if (to > from)
      total.fetch_add(static_cast<uint64_t>(to - from), std::memory_order_relaxed);
  };
  add(tally.frame, before.frame, after.frame);
  add(tally.parity, before.parity, after.parity);
  add(tally.overrun, before.overrun, after.overrun);
  add(tally.brk, before.brk, after.brk);
  add(tally.bufferOverrun, before.bufferOverrun, after.bufferOverrun);
}

// Reads what one wake-up of the device found waiting into the port's receive
// queue: read after read while each fills the buffer, so the thread goes back
// to poll only once a read came up short (the device has nothing more for
// now). `counters` is null for a device that keeps no error counters (a
// pseudo-terminal), so it is not asked on every wake-up. Returns the number
// of bytes brought.
long ServeReceive(RsPort& port, std::atomic<uint32_t>& errorWord, SerialDevice& device,
                  ErrorCounters* counters, std::span<uint8_t> buffer) {
  ErrorCounters now;
  uint32_t flags = 0;
  if (counters != nullptr && device.ReadLineCounters(&now)) {
    flags = ErrorFlagsBetween(*counters, now);
    AddLineErrors(port.tally, *counters, now);
    *counters = now;
  }
  errorWord.exchange(flags);

  long total = 0;
  for (;;) {
    const DeviceIo io = device.Read(buffer);
    if (io.kind == DeviceIo::Kind::kWouldBlock) break;  // nothing (more) waiting
    if (io.kind == DeviceIo::Kind::kGone) {
      errorWord.exchange(kRsReadError);
      TraceDeviceError(static_cast<uint32_t>(io.error != 0 ? io.error : EIO));
      port.deviceGone.store(true);
      break;
    }
    if (io.count == 0) break;
    port.tally.bytesRead.fetch_add(io.count, std::memory_order_relaxed);
    const auto bytes = std::span<const uint8_t>(buffer.data(), io.count);
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
    DebugTracef("\n%ld bytes read", static_cast<long>(io.count));
    // The relay's shortcut sends the bytes on from this thread when it can;
    // otherwise the relay thread is woken for them.
    if (!(queue != nullptr && queue->Drain()) && wake != nullptr) wake->Set();
    total += static_cast<long>(io.count);
    if (port.stopRequested.load() || io.count < buffer.size()) break;
  }
  return total;
}

}  // namespace

void SerialPorts::RsReadThread(int n) {
  RsPort& port = rsPorts[n];
  // Made by RsOpen before the thread started, destroyed by RsClose after it
  // ended.
  SerialDevice& device = *port.device;
  const int fd = device.WaitHandle();
  const int wakeFd = port.wakeFd;
  if (wakeFd < 0) {
    DebugTrace("Failed to create event for thread!\n");
    return;
  }
  rsError[n].exchange(0);
  DebugTrace("RsReadThread\n");

  ErrorCounters counters = port.countersAtOpen;
  ErrorCounters* const deviceCounters = port.hasLineCounters ? &counters : nullptr;
  bool hungUp = false;
  std::array<uint8_t, kChunk> buffer;
  while (port.running.load() != 0) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      rsError[n].exchange(kRsWaitError);
      TraceDeviceError(static_cast<uint32_t>(errno));
      Rest(wakeFd, kRestMs);
      continue;
    }
    if (fds[1].revents != 0) continue;  // RsClose: running is 0 by now

    // A device that hung up (adapter pulled, other end of a pseudo-terminal
    // closed) stays "ready" for good; rest instead of spinning on it.
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
        port.deviceGone.load()) {
      rsError[n].exchange(kRsReadError);
      if (!hungUp) TraceDeviceError(EIO);
      hungUp = true;
      port.deviceGone.store(true);
      Rest(wakeFd, kRestMs);
      continue;
    }
    hungUp = false;
    if ((fds[0].revents & POLLIN) == 0) continue;
    if (ServeReceive(port, rsError[n], device, deviceCounters, buffer) == 0)
      Rest(wakeFd, kRestMs);
  }
  device.Purge(/*input=*/true, /*output=*/false);
}

int SerialPorts::RsWriteNow(int n, const uint8_t* data, int count) {
  RsPort& port = rsPorts[n];
  MutexLock lock(port.writeMutex);
  if (port.device == nullptr || port.wakeFd < 0 || count < 0) return -1;
  const DeviceIo io =
      port.device->WriteNow(std::span<const uint8_t>(data, static_cast<size_t>(count)));
  if (io.kind == DeviceIo::Kind::kWouldBlock) return 0;
  if (io.kind == DeviceIo::Kind::kGone) return -1;
  port.tally.bytesWritten.fetch_add(io.count, std::memory_order_relaxed);
  return static_cast<int>(io.count);
}

int SerialPorts::RsWaitHandle(int n) { return rsPorts[n].handle.load(); }

}  // namespace qmx
