// EINTR-retrying wrappers over the socket calls, and the line look-ups.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "net/socket_internal.h"

namespace qmx {

TcpLine* SocketLayer::FindLine(int line) {
  if (line < 0 || line >= static_cast<int>(tcpLines.size())) return nullptr;
  return &tcpLines[static_cast<size_t>(line)];
}

ByteQueue& SocketLayer::LineQueue(int line) {
  TcpLine* record = FindLine(line);
  ByteQueue* queue = record == nullptr ? nullptr : record->inputQueue.load();
  return queue != nullptr ? *queue : unbound_;
}

namespace net {
int SysAccept(int listenFd, IpAddress* peer) {
  for (;;) {
    ::sockaddr_storage from{};
    ::socklen_t length = sizeof(from);
    int fd =
        ::accept4(listenFd, reinterpret_cast<::sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd >= 0) *peer = FromSocketAddress(from);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

unsigned ToSocketAddress(const IpAddress& address, uint16_t port,
                         ::sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (address.family == 4) {
    auto* v4 = reinterpret_cast<::sockaddr_in*>(out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
    return sizeof(*v4);
  }
  auto* v6 = reinterpret_cast<::sockaddr_in6*>(out);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
  v6->sin6_scope_id = address.scopeId;
  return sizeof(*v6);
}

IpAddress FromSocketAddress(const ::sockaddr_storage& in) {
  IpAddress address;
  if (in.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const ::sockaddr_in*>(&in);
    address.family = 4;
    std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
  } else if (in.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const ::sockaddr_in6*>(&in);
    address.family = 6;
    std::memcpy(address.bytes.data(), &v6->sin6_addr, 16);
    address.scopeId = v6->sin6_scope_id;
  }
  return address;
}

int NewServerSocket(const std::vector<IpAddress>& addresses) {
  if (!addresses.empty()) {
    const int fd = ::socket(addresses[0].family == 4 ? AF_INET : AF_INET6,
                            SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && addresses[0].family == 6) {
      int v6only = 1;
      if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) != 0) {
        const int code = errno;
        ::close(fd);
        errno = code;
        return -1;
      }
    }
    return fd;
  }
  // All addresses: one IPv6 socket that takes IPv4 peers as mapped
  // addresses, so an IPv6 client and an IPv4 one reach the same line.
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    int v6only = 0;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) == 0)
      return fd;
    ::close(fd);
  }
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool FirstIpv4ListenAddress(const std::vector<IpAddress>& addresses, ::in_addr* address) {
  if (addresses.empty()) {
    address->s_addr = htonl(INADDR_ANY);
    return true;
  }
  for (const IpAddress& candidate : addresses) {
    if (candidate.family == 4) {
      std::memcpy(&address->s_addr, candidate.bytes.data(), 4);
      return true;
    }
  }
  return false;
}

namespace {

// The line's listening sockets as one Listener: one epoll descriptor to wait
// on, and an accept that starts with a different socket each time, so that a
// busy address cannot keep the others waiting.
class SocketListener : public Listener {
 public:
  SocketListener(std::vector<int> sockets, int epollFd, ConnectionMaker maker)
      : sockets_(std::move(sockets)), epollFd_(epollFd), maker_(std::move(maker)) {}
  ~SocketListener() override { ::close(epollFd_); }
  SocketListener(const SocketListener&) = delete;
  SocketListener& operator=(const SocketListener&) = delete;

  std::unique_ptr<ClientConnection> Accept(int* error) override {
    *error = 0;
    for (size_t k = 0; k < sockets_.size(); ++k) {
      const size_t i = (next_.load() + k) % sockets_.size();
      IpAddress peer;
      const int fd = SysAccept(sockets_[i], &peer);
      if (fd >= 0) {
        next_ = i + 1;
        return maker_ ? maker_(fd, peer) : MakeTcpConnection(fd, peer);
      }
      // The client left between the wake-up and the accept.
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      *error = errno;
      next_ = i + 1;
      return nullptr;
    }
    return nullptr;
  }
  int WaitHandle() const override { return epollFd_; }

 private:
  std::vector<int> sockets_;
  int epollFd_;
  const ConnectionMaker maker_;
  // Where the next Accept starts; the control line's sessions accept on one
  // listener from several threads.
  std::atomic<size_t> next_{0};
};

}  // namespace

std::unique_ptr<Listener> MakeSocketListener(const TcpLine& record, ConnectionMaker maker,
                                             int* error) {
  std::vector<int> sockets{record.lineSocket.load()};
  sockets.insert(sockets.end(), record.moreSockets.begin(), record.moreSockets.end());
  const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) {
    *error = errno;
    return nullptr;
  }
  for (int fd : sockets) {
    ::epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
      *error = errno;
      ::close(epollFd);
      return nullptr;
    }
  }
  return std::make_unique<SocketListener>(std::move(sockets), epollFd, std::move(maker));
}

int MakeWake() { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void SignalWake(int fd) {
  const uint64_t one = 1;
  (void)!::write(fd, &one, sizeof one);
}

void DrainWake(int fd) {
  uint64_t count = 0;
  (void)!::read(fd, &count, sizeof count);
}

void CloseMoreSockets(TcpLine& record) {
  for (int fd : record.moreSockets) ::close(fd);
  record.moreSockets.clear();
}

ListenSocket ListenOn(int fd, const IpAddress& address, uint16_t port) {
  ListenSocket result;
  // A restarted server binds its port at once, without waiting for the
  // previous connections' TIME_WAIT to pass.
  int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  ::sockaddr_storage where{};
  const unsigned length = ToSocketAddress(address, port, &where);
  if (::bind(fd, reinterpret_cast<const ::sockaddr*>(&where), length) != 0) {
    result.error = errno;
    return result;
  }
  if (::listen(fd, kListenBacklog) != 0) {
    result.error = errno;
    result.step = "listen";
    return result;
  }
  // The accept thread waits in poll and then accepts; a client that went
  // away in between must not leave it blocked in accept.
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    result.error = errno;
    result.step = "listen";
    return result;
  }
  result.fd = fd;
  return result;
}

ListenSocket OpenListenSocket(const IpAddress& address, uint16_t port, bool dualStack) {
  ListenSocket result;
  const int fd =
      ::socket(address.family == 4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  if (address.family == 6) {
    int v6only = dualStack ? 0 : 1;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof(v6only)) != 0) {
      result.error = errno;
      ::close(fd);
      return result;
    }
  }
  result = ListenOn(fd, address, port);
  if (result.fd < 0) ::close(fd);
  return result;
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

ssize_t SysRecvfrom(int fd, void* buffer, size_t size) {
  for (;;) {
    ::sockaddr_in peer{};
    ::socklen_t length = sizeof(peer);
    ssize_t n =
        ::recvfrom(fd, buffer, size, 0, reinterpret_cast<::sockaddr*>(&peer), &length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t SysSendto(int fd, const void* data, size_t size, const ::sockaddr_in* to) {
  for (;;) {
    ssize_t n = ::sendto(fd, data, size, MSG_NOSIGNAL,
                         reinterpret_cast<const ::sockaddr*>(to), sizeof(*to));
    if (n >= 0 || errno != EINTR) return n;
  }
}

void SetKeepAlive(int fd) {
  // Best effort, like TCP_NODELAY: without it a vanished peer is only found
  // when something is sent to it.
  int on = 1;
  int idle = kKeepAliveIdleS;
  int interval = kKeepAliveIntervalS;
  int count = kKeepAliveCount;
  (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

void SetNoDelay(int fd) {
  // Best effort: a socket without it still works, only slower for small chunks.
  int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

}  // namespace net
}  // namespace qmx
