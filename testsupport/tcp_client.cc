#include "testsupport/tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>

namespace qmx::testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// A socket address for an IPv4 or IPv6 literal; its length, 0 when the text
// is neither.
socklen_t MakeAddress(const std::string& address, int port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(*v4);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof(*v6);
  }
  return 0;
}

int Left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TcpClient::TcpClient(int port) : TcpClient("127.0.0.1", port) {}

TcpClient::TcpClient(const std::string& address, int port, const std::string& source) {
  sockaddr_storage to{};
  const socklen_t length = MakeAddress(address, port, &to);
  sockaddr_storage from{};
  const socklen_t fromLength = source.empty() ? 0 : MakeAddress(source, 0, &from);
  if (length == 0 || (!source.empty() && fromLength == 0)) return;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (fromLength != 0 &&
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), fromLength) != 0) {
      ::close(fd);
      return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fd_ = fd;
      return;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void TcpClient::HalfClose() {
  if (fd_ >= 0) (void)::shutdown(fd_, SHUT_WR);
}

bool TcpClient::Send(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return bytes.empty();
}

std::string TcpClient::ReadWhile(const std::function<bool(const std::string&)>& more,
                                 std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string out;
  std::array<char, 8192> buffer;
  while (fd_ >= 0 && more(out)) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, Left(deadline));
    if (ready == 0) break;
    if (ready < 0) continue;  // EINTR
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  return out;
}

std::string TcpClient::ReadUntil(const std::string& expected,
                                 std::chrono::milliseconds limit) {
  return ReadWhile(
      [&](const std::string& s) { return s.find(expected) == std::string::npos; }, limit);
}

bool TcpClient::Receives(const std::string& expected, std::chrono::milliseconds limit) {
  return ReadUntil(expected, limit).find(expected) != std::string::npos;
}

std::string TcpClient::ReadCount(size_t count, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string out;
  std::array<char, 8192> buffer;
  while (fd_ >= 0 && out.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, Left(deadline));
    if (ready == 0) break;
    if (ready < 0) continue;
    const ssize_t n =
        ::recv(fd_, buffer.data(), std::min(buffer.size(), count - out.size()), 0);
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  return out;
}

std::string TcpClient::Drain(std::chrono::milliseconds quiet) {
  std::string out;
  std::array<char, 8192> buffer;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  return out;
}

bool TcpClient::WaitClosed(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::array<char, 4096> buffer;
  while (fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, Left(deadline));
    if (ready == 0) return false;
    if (ready < 0) continue;
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

}  // namespace qmx::testsupport
