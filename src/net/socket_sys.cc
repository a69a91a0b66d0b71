// EINTR-retrying wrappers over the socket calls, and the line look-ups.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "net/socket_internal.h"

namespace qmx::net {
namespace {

std::array<std::atomic<bool>, 9> acceptRunning{};

}  // namespace

TcpLine* FindLine(int line) {
  if (line < 0 || line >= static_cast<int>(tcpLines.size())) return nullptr;
  return &tcpLines[static_cast<size_t>(line)];
}

ByteQueue& LineQueue(int line) {
  // A line nobody bound feeds a queue without storage, which takes nothing.
  static ByteQueue unbound;
  TcpLine* record = FindLine(line);
  ByteQueue* queue = record == nullptr ? nullptr : record->inputQueue.load();
  return queue != nullptr ? *queue : unbound;
}

std::atomic<bool>& AcceptRunning(int line) { return acceptRunning[static_cast<size_t>(line)]; }

int SysAccept(int listenFd) {
  for (;;) {
    ::sockaddr_in peer{};  // room for an IPv4 peer; the address is not used
    ::socklen_t length = sizeof(peer);
    int fd = ::accept4(listenFd, reinterpret_cast<::sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

ssize_t SysRecv(int fd, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t SysSend(int fd, const void* data, size_t size, int flags) {
  for (;;) {
    ssize_t n = ::send(fd, data, size, flags | MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

int SysPoll(int fd, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ::pollfd entry{fd, events, 0};
  int wait = timeoutMs;
  for (;;) {
    int n = ::poll(&entry, 1, wait);
    if (n >= 0 || errno != EINTR) return n;
    if (timeoutMs < 0) continue;  // no limit
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
}

int SysConnect(int fd, const ::sockaddr* address, unsigned addressLength) {
  if (::connect(fd, address, addressLength) == 0) return 0;
  if (errno != EINTR) return -1;
  ::pollfd entry{fd, POLLOUT, 0};
  while (::poll(&entry, 1, -1) < 0) {
    if (errno != EINTR) return -1;
  }
  int result = 0;
  ::socklen_t length = sizeof(result);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) < 0) return -1;
  if (result != 0) {
    errno = result;
    return -1;
  }
  return 0;
}

ssize_t SysRecvfrom(int fd, void* buffer, size_t size) {
  for (;;) {
    ::sockaddr_in peer{};
    ::socklen_t length = sizeof(peer);
    ssize_t n = ::recvfrom(fd, buffer, size, 0, reinterpret_cast<::sockaddr*>(&peer), &length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t SysSendto(int fd, const void* data, size_t size, const ::sockaddr_in* to) {
  for (;;) {
    ssize_t n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const ::sockaddr*>(to),
                         sizeof(*to));
    if (n >= 0 || errno != EINTR) return n;
  }
}

void SetNoDelay(int fd) {
  // Best effort: a socket without it still works, only slower for small chunks.
  int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

}  // namespace qmx::net
