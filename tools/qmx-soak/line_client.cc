#include "line_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

namespace qmx::load {
namespace {

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// Starts a non-blocking connect; returns the socket, or -1.
int StartConnect(int port, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (receiveBuffer > 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  const sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SetLingerZero(int fd) {
  const linger off{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
}

bool ReplyComplete(std::string_view reply) {
  if (reply.size() < 2 || !reply.ends_with("\r\n")) return false;
  if (reply.starts_with("200 Status is:"))
    return reply.find("\r\n8:") != std::string::npos;
  if (reply.starts_with("200 Commands are")) {
    return reply.find("(Ex. ? Ex. help)\r\n") != std::string::npos;
  }
  return true;
}

}  // namespace

LineSocket::LineSocket(int port, Millis timeout, int receiveBuffer) {
  const auto deadline = Clock::now() + timeout;
  // A refused connect is retried: the line may be between two listeners.
  while (fd_ < 0 && Clock::now() < deadline) {
    const int fd = StartConnect(port, receiveBuffer);
    if (fd >= 0) {
      pollfd p{fd, POLLOUT, 0};
      int error = 0;
      socklen_t length = sizeof error;
      if (::poll(&p, 1, MillisLeft(deadline)) == 1 &&
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = fd;
        return;
      }
      ::close(fd);
    }
    std::this_thread::sleep_for(Millis(10));
  }
}

LineSocket::~LineSocket() { Close(); }

LineSocket::LineSocket(LineSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

LineSocket& LineSocket::operator=(LineSocket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void LineSocket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void LineSocket::Reset() {
  if (fd_ >= 0) SetLingerZero(fd_);
  Close();
}

bool LineSocket::SendAll(std::string_view bytes, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0 && Clock::now() >= deadline)
      return false;
  }
  return fd_ >= 0;
}

std::string LineSocket::ReadUntil(std::string_view needle, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string received;
  std::array<char, 16384> buffer;
  while (fd_ >= 0 && received.find(needle) == std::string::npos) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) <= 0) {
      if (Clock::now() >= deadline) break;
      continue;
    }
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (n > 0) received.append(buffer.data(), static_cast<size_t>(n));
  }
  return received;
}

size_t LineSocket::Discard() {
  std::array<char, 65536> buffer;
  size_t total = 0;
  for (int round = 0; fd_ >= 0 && round < 64; ++round) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  return total;
}

bool LineSocket::PeerClosed() const { return WaitPeerClosed(Millis(0)); }

bool LineSocket::WaitPeerClosed(Millis timeout) const {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLRDHUP, 0};
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (::poll(&p, 1, MillisLeft(deadline)) > 0 &&
        (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
  }
}

const char* ChurnKindName(ChurnKind kind) {
  switch (kind) {
    case ChurnKind::kOrderly:
      return "orderly";
    case ChurnKind::kReset:
      return "reset";
    case ChurnKind::kCloseAtOnce:
      return "close at once";
    case ChurnKind::kAbandonConnect:
      return "abandoned connect";
    case ChurnKind::kResetMidStream:
      return "reset mid-stream";
    case ChurnKind::kCount:
      break;
  }
  return "?";
}

bool ReleaseEndedClient(int port, Millis timeout) {
  LineSocket socket(port, timeout);
  if (!socket.connected()) return false;
  socket.Reset();
  return true;
}

bool ChurnOnce(int port, ChurnKind kind) {
  if (kind == ChurnKind::kAbandonConnect) {
    const int fd = StartConnect(port, 0);
    if (fd < 0) return false;
    SetLingerZero(fd);
    ::close(fd);
    return true;
  }
  LineSocket socket(port, Millis(5000));
  if (!socket.connected()) return false;
  switch (kind) {
    case ChurnKind::kOrderly:
      socket.SendAll("x", Millis(1000));
      socket.Close();
      break;
    case ChurnKind::kReset:
      socket.Reset();
      break;
    case ChurnKind::kCloseAtOnce:
      socket.Close();
      break;
    case ChurnKind::kResetMidStream:
      socket.SendAll(std::string(4096, 'r'), Millis(1000));
      socket.Reset();
      break;
    default:
      break;
  }
  return true;
}

bool ProbeLine(int port, std::string_view token, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  LineSocket socket(port, timeout);
  if (!socket.connected() || !socket.SendAll(token, timeout)) return false;
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
  return socket.ReadUntil(token, std::max(left, Millis(1))).find(token) !=
         std::string::npos;
}

ControlSession::ControlSession(int port, Millis timeout) : socket_(port, timeout) {
  if (!socket_.connected()) return;
  const std::string got = socket_.ReadUntil("ready\r\n", timeout);
  if (got.ends_with("ready\r\n")) greeting_ = got;
}

std::string ControlSession::Command(std::string_view command, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::string line = std::string(command) + "\r";
  if (!socket_.SendAll(line, timeout)) return "";
  const std::string echo = std::string(command) + "\r\n";
  std::string got;
  for (;;) {
    const size_t at = got.find(echo);
    if (at != std::string::npos &&
        ReplyComplete(std::string_view(got).substr(at + echo.size()))) {
      return got.substr(at + echo.size());
    }
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
    if (left.count() <= 0 || !socket_.connected()) return "";
    // Reads what is there (or waits for the next bytes) without a target.
    const std::string more = socket_.ReadUntil(std::string_view("\n"), left);
    if (more.empty()) return "";
    got += more;
  }
}

bool ControlSession::SendGarbage(std::string_view bytes, size_t pieces, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  pieces = std::clamp<size_t>(pieces, 1, std::max<size_t>(bytes.size(), 1));
  const size_t step = (bytes.size() + pieces - 1) / pieces;
  for (size_t at = 0; at < bytes.size(); at += step) {
    const std::string_view piece = bytes.substr(at, step);
    size_t sent = 0;
    while (sent < piece.size()) {
      const ssize_t n =
          ::send(socket_.fd(), piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      // The server echoes every byte: read while sending, or both sides stall.
      socket_.Discard();
      if (n <= 0) {
        pollfd p{socket_.fd(), POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, MillisLeft(deadline)) <= 0 && Clock::now() >= deadline)
          return false;
      }
    }
  }
  return true;
}

bool ControlSession::AnswersHello(Millis timeout) {
  // The CR ends whatever line the garbage left unfinished (its reply is
  // read past); the numbered hello is one no garbage can have sent.
  const std::string hello = "hello " + std::to_string(++sequence_);
  if (!socket_.SendAll("\r", timeout)) return false;
  return Command(hello, timeout) == "220 QMX ver2.01 ready\r\n";
}

const char* GarbageKindName(GarbageKind kind) {
  switch (kind) {
    case GarbageKind::kRandom:
      return "random bytes";
    case GarbageKind::kFfStorm:
      return "0xFF storm";
    case GarbageKind::kNuls:
      return "NULs";
    case GarbageKind::kOverlong:
      return "over-long line";
    case GarbageKind::kCrLfStorm:
      return "CR LF storm";
    case GarbageKind::kCount:
      break;
  }
  return "?";
}

std::string MakeGarbage(GarbageKind kind, size_t size, std::mt19937_64& random) {
  std::string bytes(size, '\0');
  switch (kind) {
    case GarbageKind::kRandom:
      for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
      break;
    case GarbageKind::kFfStorm:
      std::fill(bytes.begin(), bytes.end(), '\xFF');
      break;
    case GarbageKind::kNuls:
      break;
    case GarbageKind::kOverlong:
      for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
      if (size > 0) bytes.back() = '\r';
      break;
    case GarbageKind::kCrLfStorm:
      for (size_t i = 0; i < size; ++i) bytes[i] = i % 2 == 0 ? '\r' : '\n';
      break;
    case GarbageKind::kCount:
      break;
  }
  return bytes;
}

}  // namespace qmx::load
