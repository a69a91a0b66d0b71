#include "transfer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

namespace qmx::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kIoSize = 65536;
// A prime period: no chunk size of any server lines up with it.
constexpr uint64_t kPeriod = 65521;
constexpr uint64_t kStreamStride = 4099;

// The byte sequence, with one extra I/O size at the end so that any position
// can be read contiguously.
const std::vector<uint8_t>& Sequence() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> made(kPeriod + kIoSize);
    std::mt19937 generator(20240601);
    for (size_t i = 0; i < kPeriod; ++i) made[i] = static_cast<uint8_t>(generator());
    std::copy_n(made.begin(), kIoSize, made.begin() + kPeriod);
    return made;
  }();
  return bytes;
}

const uint8_t* SequenceAt(uint64_t position) {
  return Sequence().data() + position % kPeriod;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Running {
  const Stream* stream;
  uint64_t origin;  // where in the sequence this stream starts
  uint64_t target;  // bytes to send; lowered when the send window closes
  StreamOutcome outcome;
  bool ended = false;  // the read side failed or closed
};

// Compares `data` with what was sent at `position`; counts the bytes that
// differ.
void Check(Running& run, const uint8_t* data, size_t size) {
  const uint64_t position = run.outcome.received;
  const uint8_t* expected = SequenceAt(run.origin + position);
  if (std::memcmp(data, expected, size) == 0) return;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == expected[i]) continue;
    ++run.outcome.differing;
    run.outcome.firstDiffering = std::min(run.outcome.firstDiffering, position + i);
  }
}

std::string Describe(const Running& run) {
  const StreamOutcome& o = run.outcome;
  std::string text = run.stream->label + ": sent " + std::to_string(o.sent) +
                     ", received " + std::to_string(o.received);
  if (o.differing > 0) {
    text += ", " + std::to_string(o.differing) +
            " bytes differ from the sent ones (first at " +
            std::to_string(o.firstDiffering) + ")";
  }
  return text;
}

}  // namespace

double TransferOutcome::MegabytesPerSecond() const {
  return seconds > 0 ? static_cast<double>(received) / 1e6 / seconds : 0;
}

TransferOutcome RunTransfer(const std::vector<Stream>& streams,
                            const TransferLimits& limits) {
  std::vector<Running> runs;
  for (size_t i = 0; i < streams.size(); ++i) {
    runs.push_back({&streams[i], (i + 1) * kStreamStride, streams[i].bytes, {}, false});
  }
  std::vector<uint8_t> buffer(kIoSize);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastArrival = start;
  TransferOutcome result;
  std::string fault;

  for (;;) {
    const double now = SecondsSince(start);
    if (now > limits.sendWindowSeconds) {
      for (Running& run : runs) {
        if (run.target > run.outcome.sent) {
          run.target = run.outcome.sent;
          result.cutShort = true;
        }
      }
    }
    // One poll entry per stream end that still has work.
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owners;  // stream index, is the write end
    bool outstanding = false;
    for (size_t i = 0; i < runs.size(); ++i) {
      Running& run = runs[i];
      if (run.ended) continue;
      if (run.outcome.sent < run.target &&
          run.outcome.sent - run.outcome.received < limits.maxInFlight) {
        fds.push_back({run.stream->writeFd, POLLOUT, 0});
        owners.emplace_back(i, true);
      }
      if (run.outcome.received < run.target) {
        fds.push_back({run.stream->readFd, POLLIN, 0});
        owners.emplace_back(i, false);
        outstanding = true;
      }
    }
    if (!outstanding) break;
    if (std::chrono::duration<double>(Clock::now() - lastArrival).count() >
        limits.stallSeconds) {
      fault = "no byte arrived for " +
              std::to_string(static_cast<int>(limits.stallSeconds)) + " s";
      break;
    }
    const int ready = ::poll(fds.data(), fds.size(), 100);
    if (ready < 0 && errno != EINTR) {
      fault = std::string("poll: ") + std::strerror(errno);
      break;
    }
    for (size_t k = 0; ready > 0 && k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Running& run = runs[owners[k].first];
      StreamOutcome& o = run.outcome;
      if (owners[k].second) {
        const uint64_t room =
            std::min(run.target - o.sent, limits.maxInFlight - (o.sent - o.received));
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kIoSize, room));
        const ssize_t put =
            ::write(run.stream->writeFd, SequenceAt(run.origin + o.sent), want);
        if (put > 0) {
          o.sent += static_cast<uint64_t>(put);
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
          fault += run.stream->label + ": write failed: " + std::strerror(errno) + ". ";
          run.ended = true;
        }
        continue;
      }
      const ssize_t got = ::read(run.stream->readFd, buffer.data(), buffer.size());
      if (got > 0) {
        Check(run, buffer.data(), static_cast<size_t>(got));
        o.received += static_cast<uint64_t>(got);
        lastArrival = Clock::now();
        o.lastByteSeconds = std::chrono::duration<double>(lastArrival - start).count();
        if (o.received > o.sent) {
          fault += run.stream->label + ": more bytes arrived than were sent. ";
          run.ended = true;
        }
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        fault += run.stream->label + (got == 0 ? ": connection closed by the server. "
                                               : std::string(": read failed: ") +
                                                     std::strerror(errno) + ". ");
        run.ended = true;
      }
    }
  }

  for (const Running& run : runs) {
    result.streams.push_back(run.outcome);
    result.received += run.outcome.received;
    result.seconds = std::max(result.seconds, run.outcome.lastByteSeconds);
    if (run.outcome.received != run.outcome.sent || run.outcome.differing > 0) {
      fault += Describe(run) + ". ";
    }
  }
  result.fault = fault;
  return result;
}

std::string ExpectQuiet(const std::vector<int>& fds, double seconds) {
  std::string fault;
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> buffer(kIoSize);
  while (SecondsSince(start) < seconds) {
    std::vector<pollfd> entries;
    for (int fd : fds) entries.push_back({fd, POLLIN, 0});
    if (::poll(entries.data(), entries.size(), 20) <= 0) continue;
    for (const pollfd& entry : entries) {
      if ((entry.revents & POLLIN) == 0) continue;
      const ssize_t got = ::read(entry.fd, buffer.data(), buffer.size());
      if (got > 0)
        fault = std::to_string(got) + " unexpected bytes arrived after a run. ";
    }
  }
  return fault;
}

}  // namespace qmx::bench
