#include "line_polling.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace qmx::bench {
namespace {

constexpr double kEchoLimitSeconds = 2;

std::string Failed(const char* call) {
  return std::string(call) + " failed: " + std::strerror(errno);
}

}  // namespace

LinePoller::LinePoller(std::vector<PolledLine> lines, size_t messageSize)
    : size_(messageSize) {
  for (const PolledLine& fds : lines) {
    Line line;
    line.fds = fds;
    line.message.resize(size_);
    line.reply.resize(size_);
    lines_.push_back(std::move(line));
  }
}

double LinePoller::Now() const {
  return std::chrono::duration<double>(Clock::now() - blockStart_).count();
}

void LinePoller::Fail(size_t index, const std::string& what) {
  if (!fault_.empty()) return;
  fault_ = "line " + std::to_string(index + 1) + ", round trip " +
           std::to_string(lines_[index].sequence) + " of " + std::to_string(size_) +
           " bytes: " + what;
}

bool LinePoller::Send(Line& line, size_t index) {
  ++line.sequence;
  // A pattern that moves on with every message, under a header naming the
  // line and the message as far as the size allows.
  const auto sequence = static_cast<size_t>(line.sequence);
  for (size_t j = 0; j < size_; ++j) {
    line.message[j] = static_cast<unsigned char>(sequence * 131 + j * 7 + 1);
  }
  const size_t header[] = {index, index >> 8, sequence, sequence >> 8, sequence >> 16};
  for (size_t j = 0; j < size_ && j < std::size(header); ++j) {
    line.message[j] = static_cast<unsigned char>(header[j]);
  }
  line.written = 0;
  line.received = 0;
  line.waiting = true;
  line.sentAt = Now();
  --line.left;
  return WriteMessage(line, index);
}

bool LinePoller::WriteMessage(Line& line, size_t index) {
  while (line.written < size_) {
    const ssize_t put = ::send(line.fds.client, line.message.data() + line.written,
                               size_ - line.written, MSG_NOSIGNAL);
    if (put > 0) {
      line.written += static_cast<size_t>(put);
    } else if (put < 0 && errno == EAGAIN) {
      return true;  // the rest when the socket has room
    } else if (put < 0 && errno != EINTR) {
      Fail(index, Failed("send"));
      return false;
    }
  }
  return true;
}

bool LinePoller::Receive(Line& line, size_t index, bool keep) {
  // Never more than the message: a byte too many stays for the next reply,
  // which it spoils, or for the check that the line is quiet afterwards.
  while (line.received < size_) {
    const ssize_t got = ::recv(line.fds.client, line.reply.data() + line.received,
                               size_ - line.received, 0);
    if (got > 0) {
      line.received += static_cast<size_t>(got);
    } else if (got == 0) {
      Fail(index, "connection closed by the server");
      return false;
    } else if (errno == EAGAIN) {
      return true;
    } else if (errno != EINTR) {
      Fail(index, Failed("recv"));
      return false;
    }
  }
  const double now = Now();
  if (line.reply != line.message) {
    Fail(index, "the echo differs from the message");
    return false;
  }
  line.waiting = false;
  lastEcho_ = now;
  if (keep) micros_.push_back((now - line.sentAt) * 1e6);
  return line.left <= 0 || Send(line, index);
}

bool LinePoller::Echo(Line& line, size_t index) {
  unsigned char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(line.fds.device, buffer, sizeof buffer);
    if (got > 0) {
      line.echoBacklog.insert(line.echoBacklog.end(), buffer, buffer + got);
    } else if (got < 0 && errno == EAGAIN) {
      break;
    } else if (got == 0 || errno != EINTR) {
      Fail(index, got == 0 ? std::string("the device ended") : Failed("device read"));
      return false;
    }
  }
  size_t done = 0;
  while (done < line.echoBacklog.size()) {
    const ssize_t put = ::write(line.fds.device, line.echoBacklog.data() + done,
                                line.echoBacklog.size() - done);
    if (put > 0) {
      done += static_cast<size_t>(put);
    } else if (put < 0 && errno == EAGAIN) {
      break;
    } else if (put < 0 && errno != EINTR) {
      Fail(index, Failed("device write"));
      return false;
    }
  }
  line.echoBacklog.erase(line.echoBacklog.begin(),
                         line.echoBacklog.begin() + static_cast<ptrdiff_t>(done));
  return true;
}

void LinePoller::Run(int messagesPerLine, bool keep) {
  if (!fault_.empty() || messagesPerLine <= 0) return;
  blockStart_ = Clock::now();
  lastEcho_ = 0;
  for (size_t i = 0; i < lines_.size() && fault_.empty(); ++i) {
    lines_[i].left = messagesPerLine;
    Send(lines_[i], i);
  }
  // Entry 2i is line i's client, 2i + 1 its device.
  std::vector<pollfd> fds;
  while (fault_.empty()) {
    fds.clear();
    bool waiting = false;
    for (const Line& line : lines_) {
      short client = 0;
      if (line.waiting) {
        waiting = true;
        client = line.written < size_ ? POLLIN | POLLOUT : POLLIN;
      }
      fds.push_back({line.fds.client, client, 0});
      fds.push_back(
          {line.fds.device,
           static_cast<short>(line.echoBacklog.empty() ? POLLIN : POLLIN | POLLOUT), 0});
    }
    if (!waiting) break;
    if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
      fault_ = Failed("poll");
      break;
    }
    for (size_t i = 0; i < lines_.size() && fault_.empty(); ++i) {
      Line& line = lines_[i];
      const short device = fds[2 * i + 1].revents;
      const short client = fds[2 * i].revents;
      if (device != 0 && !Echo(line, i)) break;
      if ((client & POLLOUT) != 0 && !WriteMessage(line, i)) break;
      if (line.waiting && (client & (POLLIN | POLLHUP | POLLERR)) != 0) {
        Receive(line, i, keep);
      } else if ((client & (POLLHUP | POLLERR)) != 0) {
        Fail(i, "connection closed by the server");
      }
    }
    const double now = Now();
    for (size_t i = 0; i < lines_.size() && fault_.empty(); ++i) {
      const Line& line = lines_[i];
      if (line.waiting && now - line.sentAt > kEchoLimitSeconds) {
        Fail(i, "no echo within 2 s (" + std::to_string(line.received) + " of " +
                    std::to_string(size_) + " bytes back)");
      }
    }
  }
  if (keep) seconds_ += lastEcho_;
}

}  // namespace qmx::bench
