#include "platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace qmx {
namespace {

using Clock = std::chrono::steady_clock;

// Without an eventfd (the process is out of descriptors) a waiter cannot be
// woken, so it looks at the signal again after at most this long.
constexpr int kFallbackSliceMs = 1;

}  // namespace

Event::Event() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Event::~Event() {
  if (fd_ >= 0) ::close(fd_);
}

void Event::Open() {
  state_.store(kOpen);
  Drain();  // what Close() left for the waiters of the last opening
}

void Event::Set() {
  uint32_t s = state_.load();
  do {
    if ((s & kOpen) == 0 || (s & kSignaled) != 0) return;  // closed, or already signalled
  } while (!state_.compare_exchange_weak(s, s | kSignaled));
  // Sequentially consistent with the waiter's increment-then-look: either the
  // waiter sees the signal before it sleeps, or this sees the waiter.
  if (sleepers_.load() > 0) Kick();
}

void Event::Close() {
  state_.fetch_and(~(kOpen | kSignaled));
  Kick();  // left unread until Open(), so every waiter wakes
}

bool Event::IsOpen() const { return (state_.load() & kOpen) != 0; }

void Event::Kick() {
  if (fd_ < 0) return;
  const uint64_t one = 1;
  // EAGAIN only when the counter is near overflow: it is readable then anyway.
  (void)!::write(fd_, &one, sizeof(one));
}

void Event::Drain() {
  if (fd_ < 0) return;
  uint64_t count = 0;
  (void)!::read(fd_, &count, sizeof(count));
}

Event::WaitResult Event::TryConsume() {
  uint32_t s = state_.load();
  for (;;) {
    if ((s & kOpen) == 0) return WaitResult::kFailed;
    if ((s & kSignaled) == 0) return WaitResult::kTimeout;
    if (state_.compare_exchange_weak(s, s & ~kSignaled)) return WaitResult::kSignaled;
  }
}

Event::WaitResult Event::Wait(std::chrono::milliseconds timeout) {
  return Wait(timeout, {});
}

Event::WaitResult Event::Wait(std::chrono::milliseconds timeout,
                              std::span<const int> writable) {
  const auto deadline = Clock::now() + timeout;
  std::array<pollfd, kMaxWritable + 1> fds{};
  size_t count = 0;
  fds[count++] = {fd_, POLLIN, 0};
  for (int fd : writable) {
    if (fd >= 0 && count < fds.size()) fds[count++] = {fd, POLLOUT, 0};
  }
  for (;;) {
    WaitResult result = TryConsume();
    if (result != WaitResult::kTimeout) return result;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return WaitResult::kTimeout;

    sleepers_.fetch_add(1);
    result = TryConsume();
    if (result != WaitResult::kTimeout) {
      sleepers_.fetch_sub(1);
      return result;
    }
    int slice = static_cast<int>(std::min<long long>(left.count(), 24LL * 3600 * 1000));
    if (fd_ < 0) slice = std::min(slice, kFallbackSliceMs);
    for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
    const int ready = ::poll(fds.data(), count, slice);
    sleepers_.fetch_sub(1);
    if (ready <= 0) continue;  // time-out or EINTR: the loop looks again
    // A wake-up is read only while open: after Close() it stays readable so
    // that every waiter sees it.
    if (fds[0].revents != 0 && IsOpen()) Drain();
    result = TryConsume();
    if (result != WaitResult::kTimeout) return result;
    for (size_t i = 1; i < count; ++i) {
      if (fds[i].revents != 0) return WaitResult::kTimeout;  // room to write
    }
    // A wake-up left over from a Set() whose signal was already taken: sleep on.
  }
}

}  // namespace qmx
