#include "round_trip.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>

namespace qmx::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The client socket blocks for the duration of a block (one send and as few
// receives as the reply needs), with a receive time-out that turns a lost
// reply into a fault instead of a hang.
class BlockingScope {
 public:
  explicit BlockingScope(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    ::fcntl(fd_, F_SETFL, flags_ & ~O_NONBLOCK);
    timeval limit{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~BlockingScope() {
    timeval none{0, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    ::fcntl(fd_, F_SETFL, flags_);
  }
  BlockingScope(const BlockingScope&) = delete;
  BlockingScope& operator=(const BlockingScope&) = delete;

 private:
  int fd_;
  int flags_;
};

// Sends `message` and receives its echo into `reply`. Returns an empty
// string or what went wrong.
std::string Exchange(int fd, const std::vector<uint8_t>& message,
                     std::vector<uint8_t>& reply) {
  size_t done = 0;
  while (done < message.size()) {
    const ssize_t put =
        ::send(fd, message.data() + done, message.size() - done, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return std::string("send failed: ") + std::strerror(errno);
    done += static_cast<size_t>(put);
  }
  done = 0;
  while (done < reply.size()) {
    const ssize_t got = ::recv(fd, reply.data() + done, reply.size() - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return "no echo within 2 s (" + std::to_string(done) + " of " +
             std::to_string(reply.size()) + " bytes back)";
    }
    if (got <= 0) {
      return got == 0 ? "connection closed by the server"
                      : std::string("recv failed: ") + std::strerror(errno);
    }
    done += static_cast<size_t>(got);
  }
  return message == reply ? std::string() : "the echo differs from the message";
}

// The same through a StreamEnd, which stays non-blocking: each call that
// would block waits for the end's events, and all of it within two seconds.
std::string Exchange(StreamEnd& end, const std::vector<uint8_t>& message,
                     std::vector<uint8_t>& reply) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  // Waits until `end` may go on; false when the two seconds are over.
  const auto wait = [&](bool writing) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{end.Fd(), end.Events(writing), 0};
    return left.count() > 0 && ::poll(&entry, 1, static_cast<int>(left.count())) != 0;
  };
  size_t done = 0;
  while (done < message.size()) {
    const ssize_t put = end.Write(message.data() + done, message.size() - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
    } else if (errno != EAGAIN && errno != EINTR) {
      return std::string("send failed: ") + std::strerror(errno);
    } else if (!wait(true)) {
      return "could not send within 2 s";
    }
  }
  done = 0;
  while (done < reply.size()) {
    const ssize_t got = end.Read(reply.data() + done, reply.size() - done);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      return "connection closed by the server";
    } else if (errno != EAGAIN && errno != EINTR) {
      return std::string("recv failed: ") + std::strerror(errno);
    } else if (!wait(false)) {
      return "no echo within 2 s (" + std::to_string(done) + " of " +
             std::to_string(reply.size()) + " bytes back)";
    }
  }
  return message == reply ? std::string() : "the echo differs from the message";
}

}  // namespace

double RoundTripper::Percentile(double fraction) const {
  if (micros_.empty()) return 0;
  std::vector<double> sorted = micros_;
  std::sort(sorted.begin(), sorted.end());
  const double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

void RoundTripper::Run(int count, bool keep) {
  if (!fault_.empty()) return;
  std::optional<BlockingScope> blocking;
  if (end_ == nullptr) blocking.emplace(fd_);
  std::vector<uint8_t> message(size_);
  std::vector<uint8_t> reply(size_);
  for (int i = 0; i < count; ++i) {
    // Every message differs from the one before, so a stale echo is caught.
    ++sequence_;
    for (size_t j = 0; j < size_; ++j) {
      message[j] = static_cast<uint8_t>(static_cast<size_t>(sequence_) * 131 + j * 7 + 1);
    }
    const Clock::time_point sent = Clock::now();
    const std::string fault =
        end_ != nullptr ? Exchange(*end_, message, reply) : Exchange(fd_, message, reply);
    const Clock::time_point back = Clock::now();
    if (!fault.empty()) {
      fault_ = "round trip " + std::to_string(sequence_) + " of " +
               std::to_string(size_) + " bytes: " + fault;
      return;
    }
    if (keep)
      micros_.push_back(std::chrono::duration<double, std::micro>(back - sent).count());
  }
}

}  // namespace qmx::bench
