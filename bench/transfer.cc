#include "transfer.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
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

constexpr size_t kShownPositions = 16;
constexpr size_t kShownContext = 16;  // bytes shown each side of the first difference

// `size` bytes as hex, the one at `mark` in brackets.
std::string Hex(const uint8_t* data, size_t size, size_t mark) {
  std::string text;
  char byte[8];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, i == mark ? "[%02x]" : "%02x", data[i]);
    if (i > 0) text += ' ';
    text += byte;
  }
  return text;
}

// Where in the sequence's period `key` occurs, or -1.
int64_t FindInSequence(const uint8_t* key, size_t size) {
  const uint8_t* bytes = Sequence().data();
  for (uint64_t at = 0; at < kPeriod; ++at) {
    if (std::memcmp(bytes + at, key, size) == 0) return static_cast<int64_t>(at);
  }
  return -1;
}

// The first difference of a stream, byte by byte: the read it came in, the
// bytes expected and got around it, and where the bytes got belong in the
// sequence relative to where they should be: +1 after a lost byte, -1 after
// a doubled one; another stream's bytes lie far off.
std::string DescribeDifference(const Running& run, const uint8_t* data, size_t size,
                               size_t at) {
  const uint64_t position = run.outcome.received;  // of data[0]
  const uint8_t* expected = SequenceAt(run.origin + position);
  const size_t from = at >= kShownContext ? at - kShownContext : 0;
  const size_t to = std::min(size, at + kShownContext + 1);
  std::string text = "in a read of " + std::to_string(size) + " bytes from " +
                     std::to_string(position) + ", expected " +
                     Hex(expected + from, to - from, at - from) + ", got " +
                     Hex(data + from, to - from, at - from);
  const size_t key = std::min<size_t>(8, size - at);
  const int64_t found = key >= 4 ? FindInSequence(data + at, key) : -1;
  if (found < 0) return text + "; the bytes got there are not in the sequence";
  const auto period = static_cast<int64_t>(kPeriod);
  const auto should = static_cast<int64_t>((run.origin + position + at) % kPeriod);
  int64_t distance = ((found - should) % period + period) % period;
  if (distance > period / 2) distance -= period;
  return text + "; the bytes got from there on are the sent ones at " +
         (distance >= 0 ? "+" : "") + std::to_string(distance) + " (mod " +
         std::to_string(kPeriod) + ")";
}

// Compares `data` with what was sent at `position`; counts the bytes that
// differ, and keeps the first ones in detail.
void Check(Running& run, const uint8_t* data, size_t size) {
  const uint64_t position = run.outcome.received;
  const uint8_t* expected = SequenceAt(run.origin + position);
  if (std::memcmp(data, expected, size) == 0) return;
  StreamOutcome& o = run.outcome;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == expected[i]) continue;
    if (o.firstDifference.empty())
      o.firstDifference = DescribeDifference(run, data, size, i);
    if (o.differingAt.size() < kShownPositions) o.differingAt.push_back(position + i);
    ++o.differing;
    o.firstDiffering = std::min(o.firstDiffering, position + i);
  }
}

// The stream's write or read side: its StreamEnd where it has one, else the
// descriptor.
pollfd WaitFor(const Stream& stream, bool writing) {
  const StreamEnd* end = writing ? stream.writeEnd : stream.readEnd;
  if (end != nullptr) return {end->Fd(), end->Events(writing), 0};
  return {writing ? stream.writeFd : stream.readFd,
          static_cast<short>(writing ? POLLOUT : POLLIN), 0};
}

ssize_t WriteTo(const Stream& stream, const uint8_t* data, size_t size) {
  if (stream.writeEnd != nullptr) return stream.writeEnd->Write(data, size);
  return ::write(stream.writeFd, data, size);
}

ssize_t ReadFrom(const Stream& stream, uint8_t* into, size_t size) {
  if (stream.readEnd != nullptr) return stream.readEnd->Read(into, size);
  return ::read(stream.readFd, into, size);
}

std::string Describe(const Running& run) {
  const StreamOutcome& o = run.outcome;
  std::string text = run.stream->label + ": sent " + std::to_string(o.sent) +
                     ", received " + std::to_string(o.received);
  if (o.differing > 0) {
    text += ", " + std::to_string(o.differing) +
            " bytes differ from the sent ones (first at " +
            std::to_string(o.firstDiffering) + "; at";
    for (uint64_t at : o.differingAt) {
      text += ' ';
      text += std::to_string(at);
    }
    if (o.differing > o.differingAt.size()) text += " ...";
    text += "; " + o.firstDifference + ")";
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
        // A write end's unfinished bytes still go: they are partly out.
        const uint64_t begun =
            run.outcome.sent +
            (run.stream->writeEnd != nullptr ? run.stream->writeEnd->Unfinished() : 0);
        if (run.target > begun) {
          run.target = begun;
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
      const uint64_t inFlight = run.outcome.sent - run.outcome.received;
      if (run.outcome.sent < run.target && inFlight < limits.maxInFlight &&
          limits.maxInFlight - inFlight >=
              std::min(limits.writeAtLeast, run.target - run.outcome.sent)) {
        fds.push_back(WaitFor(*run.stream, true));
        owners.emplace_back(i, true);
      }
      if (run.outcome.received < run.target) {
        fds.push_back(WaitFor(*run.stream, false));
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
        const ssize_t put = WriteTo(*run.stream, SequenceAt(run.origin + o.sent), want);
        if (put > 0) {
          o.sent += static_cast<uint64_t>(put);
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
          fault += run.stream->label + ": write failed: " + std::strerror(errno) + ". ";
          run.ended = true;
        }
        continue;
      }
      const ssize_t got = ReadFrom(*run.stream, buffer.data(), buffer.size());
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
  return ExpectQuiet(fds, {}, seconds);
}

std::string ExpectQuiet(const std::vector<int>& fds, const std::vector<StreamEnd*>& ends,
                        double seconds) {
  std::string fault;
  const Clock::time_point start = Clock::now();
  std::vector<uint8_t> buffer(kIoSize);
  while (SecondsSince(start) < seconds) {
    std::vector<pollfd> entries;
    for (int fd : fds) entries.push_back({fd, POLLIN, 0});
    for (const StreamEnd* end : ends)
      entries.push_back({end->Fd(), end->Events(false), 0});
    if (::poll(entries.data(), entries.size(), 20) <= 0) continue;
    for (size_t i = 0; i < entries.size(); ++i) {
      const pollfd& entry = entries[i];
      // A session end is read whenever its socket stirs: what came may be
      // protocol only, which gives no bytes.
      const bool isEnd = i >= fds.size();
      if (isEnd ? entry.revents == 0 : (entry.revents & POLLIN) == 0) continue;
      const ssize_t got = isEnd ? ends[i - fds.size()]->Read(buffer.data(), buffer.size())
                                : ::read(entry.fd, buffer.data(), buffer.size());
      if (got > 0)
        fault = std::to_string(got) + " unexpected bytes arrived after a run. ";
    }
  }
  return fault;
}

}  // namespace qmx::bench
