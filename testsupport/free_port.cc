#include "testsupport/free_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>

namespace qmx::testsupport {
namespace {

// Binds a fresh socket of `family` to the wildcard address and `port` (0: the
// kernel picks one). The bound port, -1 when the port is taken, or 0 when the
// family is not available here.
int BindWildcard(int family, int port) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage address{};
  socklen_t length = 0;
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_ANY);
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_any;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  }
  int result = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    result =
        ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  } else if (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT) {
    result = 0;
  }
  ::close(fd);
  return result;
}

}  // namespace

int FreeTcpPort() {
  static std::mutex mutex;
  static std::set<int> handedOut;
  std::lock_guard lock(mutex);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = BindWildcard(AF_INET, 0);
    if (port <= 0) continue;
    if (BindWildcard(AF_INET6, port) < 0) continue;  // taken on IPv6
    if (handedOut.insert(port).second) return port;
  }
  return 0;
}

bool Listening(int port) { return Listening("127.0.0.1", port); }

bool Listening(const std::string& address, int port) {
  sockaddr_storage to{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&to);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&to);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  } else {
    return false;
  }
  const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0;
  // A reset, not an orderly close: a server keeps a client that merely ended
  // its input, and the probe must not hold the line it looked at.
  ::linger reset{1, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  ::close(fd);
  return accepted;
}

}  // namespace qmx::testsupport
