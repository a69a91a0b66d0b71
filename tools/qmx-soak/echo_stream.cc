#include "echo_stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace qmx::load {
namespace {

uint64_t SplitMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

void FillPattern(uint64_t seed, uint64_t offset, uint8_t* out, size_t size) {
  for (size_t i = 0; i < size; ++i) out[i] = PatternByte(seed, offset + i);
}

}  // namespace

uint8_t PatternByte(uint64_t seed, uint64_t offset) {
  return static_cast<uint8_t>(SplitMix(seed * 0x100000001b3ull + (offset >> 3)) >>
                              (8 * (offset & 7)));
}

uint64_t ChecksumAdd(uint64_t sum, const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) sum = (sum ^ bytes[i]) * 0x100000001b3ull;
  return sum;
}

std::string StreamOutcome::Describe() const {
  return "sent " + std::to_string(sent) + ", received " + std::to_string(received) +
         ", intact " + std::to_string(intact) + ", checksums " +
         (sentChecksum == receivedChecksum ? "equal" : "differ") + ", longest wait " +
         std::to_string(longestWait.count()) + " ms" +
         (failure.empty() ? "" : ", " + failure);
}

StreamOutcome RunEchoStream(LineSocket& socket, const StreamOptions& options) {
  StreamOutcome out;
  std::array<uint8_t, 16384> sendBuffer;
  std::array<uint8_t, 16384> receiveBuffer;
  std::array<uint8_t, 16384> expected;
  size_t staged = 0;  // bytes of sendBuffer not yet sent
  size_t stagedAt = 0;
  const auto start = Clock::now();
  auto lastProgress = start;
  auto lastArrival = start;
  bool mismatch = false;

  auto sendingDone = [&] {
    return (options.bytes != 0 && out.sent >= options.bytes) ||
           (options.stop != nullptr && options.stop->load());
  };
  for (;;) {
    if (sendingDone() && staged == 0 && out.received >= out.sent) break;
    if (staged == 0 && !sendingDone() && out.sent - out.received < options.window) {
      uint64_t want = sendBuffer.size();
      if (options.bytes != 0) want = std::min(want, options.bytes - out.sent);
      staged = static_cast<size_t>(want);
      stagedAt = 0;
      FillPattern(options.seed, out.sent, sendBuffer.data(), staged);
    }
    pollfd p{socket.fd(), static_cast<short>(POLLIN | (staged > 0 ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) {
      out.failure = "poll failed";
      break;
    }
    const auto now = Clock::now();
    if ((p.revents & POLLOUT) != 0 && staged > 0) {
      const ssize_t n =
          ::send(socket.fd(), sendBuffer.data() + stagedAt, staged, MSG_NOSIGNAL);
      if (n > 0) {
        out.sentChecksum = ChecksumAdd(out.sentChecksum, sendBuffer.data() + stagedAt,
                                       static_cast<size_t>(n));
        out.sent += static_cast<uint64_t>(n);
        stagedAt += static_cast<size_t>(n);
        staged -= static_cast<size_t>(n);
        lastProgress = now;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        out.failure = "send failed";
        break;
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n =
          ::recv(socket.fd(), receiveBuffer.data(), receiveBuffer.size(), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        out.failure = "connection ended";
        break;
      }
      if (n > 0) {
        const size_t got = static_cast<size_t>(n);
        if (out.sent > out.received)
          out.longestWait = std::max(
              out.longestWait, std::chrono::duration_cast<Millis>(now - lastArrival));
        lastArrival = now;
        FillPattern(options.seed, out.received, expected.data(), got);
        for (size_t i = 0; i < got && !mismatch; ++i) {
          if (receiveBuffer[i] != expected[i]) {
            mismatch = true;
            out.failure = "byte " + std::to_string(out.received + i) + " differs";
          } else {
            ++out.intact;
          }
        }
        out.receivedChecksum =
            ChecksumAdd(out.receivedChecksum, receiveBuffer.data(), got);
        out.received += got;
        if (options.intactCounter != nullptr && !mismatch)
          options.intactCounter->fetch_add(got);
        lastProgress = now;
        if (mismatch || out.received > out.sent) {
          if (out.failure.empty()) out.failure = "more bytes came back than were sent";
          break;
        }
      }
    }
    if (out.received == out.sent) lastArrival = now;
    if (now - lastProgress > options.idleLimit) {
      out.failure =
          "nothing moved for " + std::to_string(options.idleLimit.count()) + " ms";
      break;
    }
    if (options.timeLimit.count() > 0 && now - start > options.timeLimit) {
      out.failure =
          "not done within " + std::to_string(options.timeLimit.count()) + " ms";
      break;
    }
  }
  return out;
}

}  // namespace qmx::load
