#include "metrics/metrics_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "metrics/http_request.h"

namespace qmx {
namespace {

using Clock = std::chrono::steady_clock;

// Clients beyond kMaxConnections wait here (see the header); past it the
// kernel drops their connection attempts and they try again.
constexpr int kListenBacklog = 16;
// Pause before accept is tried again after it ran out of descriptors,
// buffers or memory, so that a lasting shortage cannot make the thread spin.
constexpr std::chrono::milliseconds kAcceptRetryPause{100};

// Owns one descriptor.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() { Close(); }
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

unsigned ToSocketAddress(const IpAddress& address, uint16_t port, sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (address.family == 4) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    std::memcpy(&v4->sin_addr, address.bytes.data(), 4);
    return sizeof(*v4);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  std::memcpy(&v6->sin6_addr, address.bytes.data(), 16);
  v6->sin6_scope_id = address.scopeId;
  return sizeof(*v6);
}

IpAddress FromSocketAddress(const sockaddr_storage& in) {
  IpAddress address;
  if (in.ss_family == AF_INET) {
    address.family = 4;
    std::memcpy(address.bytes.data(), &reinterpret_cast<const sockaddr_in&>(in).sin_addr,
                4);
  } else if (in.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(in);
    address.family = 6;
    std::memcpy(address.bytes.data(), &v6.sin6_addr, 16);
    address.scopeId = v6.sin6_scope_id;
  }
  return address;
}

uint16_t BoundPort(int fd) {
  sockaddr_storage bound{};
  socklen_t length = sizeof(bound);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.ss_family == AF_INET
                   ? reinterpret_cast<const sockaddr_in&>(bound).sin_port
                   : reinterpret_cast<const sockaddr_in6&>(bound).sin6_port);
}

// A whole response; every one closes its connection.
std::string Response(std::string_view status, std::string_view contentType,
                     std::string_view body, std::string_view moreHeaders = {}) {
  std::string out;
  out.reserve(160 + body.size());
  out.append("HTTP/1.1 ").append(status).append("\r\n");
  out.append("Content-Type: ").append(contentType).append("\r\n");
  out.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
  out.append(moreHeaders);
  out.append("Connection: close\r\n\r\n");
  out.append(body);
  return out;
}

constexpr std::string_view kTextType = "text/plain; charset=utf-8";
constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace

struct MetricsServer::Connection {
  enum class Phase {
    kReading,   // the request head
    kWriting,   // the response
    kDraining,  // sent and ended; waiting for the client to close
  };
  Connection(Descriptor client, Clock::time_point readDeadline)
      : fd(std::move(client)), deadline(readDeadline) {}

  Descriptor fd;
  Phase phase = Phase::kReading;
  std::string received;
  std::string response;
  size_t sent = 0;
  Clock::time_point deadline;

  // Closes a connection whose time ran out or whose server stops. One with
  // response bytes still unsent is reset: an orderly close would leave the
  // kernel holding them (up to a socket buffer) for a client that does not
  // read, long after the connection is gone from here.
  void Abandon() {
    if (phase == Phase::kWriting && fd.get() >= 0) {
      const linger reset{1, 0};
      (void)::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    }
    fd.Close();
  }
};

MetricsServer::MetricsServer(AdmitFunction admit, RenderFunction render,
                             RefusedFunction refused, MetricsTimeouts timeouts)
    : admit_(std::move(admit)),
      render_(std::move(render)),
      refused_(std::move(refused)),
      timeouts_(timeouts) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const IpAddress& address, uint16_t port, std::string* failure) {
  const std::string text = FormatIpAddress(address);
  const std::string where =
      (address.family == 6 ? "[" + text + "]" : text) + ":" + std::to_string(port);
  auto fail = [&](int code) {
    if (failure != nullptr) {
      *failure =
          "cannot listen on " + where + ": " + std::generic_category().message(code);
    }
    Stop();
    return false;
  };
  if (thread_.joinable()) {
    if (failure != nullptr) {
      *failure = "cannot listen on " + where + ": already listening";
    }
    return false;
  }
  if (address.family != 4 && address.family != 6) return fail(EAFNOSUPPORT);
  listenFd_ = ::socket(address.family == 4 ? AF_INET : AF_INET6,
                       SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return fail(errno);
  const int one = 1;
  if (::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
      (address.family == 6 &&
       ::setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0)) {
    return fail(errno);
  }
  sockaddr_storage socketAddress{};
  const unsigned length = ToSocketAddress(address, port, &socketAddress);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&socketAddress), length) != 0 ||
      ::listen(listenFd_, kListenBacklog) != 0) {
    return fail(errno);
  }
  port_ = BoundPort(listenFd_);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) return fail(errno);
  try {
    thread_ = std::thread(&MetricsServer::Run, this);
  } catch (const std::system_error& error) {
    return fail(error.code().value());
  }
  return true;
}

void MetricsServer::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // Cannot fail short of a counter overflow; the thread wakes either way.
    while (::write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (int* fd : {&listenFd_, &wakeFd_}) {
    if (*fd >= 0) ::close(std::exchange(*fd, -1));
  }
  port_ = 0;
  connections_ = 0;
}

void MetricsServer::Run() {
  std::vector<Connection> connections;
  std::vector<pollfd> polled;
  for (;;) {
    const auto now = Clock::now();
    const bool accepting = connections.size() < kMaxConnections && now >= acceptAfter_;
    auto next = accepting ? Clock::time_point::max() : acceptAfter_;
    polled.clear();
    polled.push_back({wakeFd_, POLLIN, 0});
    // poll skips a negative descriptor: the backlog holds new clients.
    polled.push_back({accepting ? listenFd_ : -1, POLLIN, 0});
    for (const Connection& c : connections) {
      const short events = c.phase == Connection::Phase::kWriting ? POLLOUT : POLLIN;
      polled.push_back({c.fd.get(), events, 0});
      next = std::min(next, c.deadline);
    }
    int timeoutMs = -1;
    if (next != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
      timeoutMs = static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
    }
    // poll fails only on a broken descriptor set or when the kernel is out
    // of memory; the endpoint then ends as on Stop (the port stays bound
    // until Stop, and nothing is served).
    if (::poll(polled.data(), polled.size(), timeoutMs) < 0 && errno != EINTR) break;
    if (polled[0].revents != 0) break;  // Stop

    const auto woken = Clock::now();
    for (size_t i = 0; i < connections.size(); ++i) {
      Connection& c = connections[i];
      if (polled[i + 2].revents != 0 && !Serve(c)) c.fd.Close();
      if (woken >= c.deadline) c.Abandon();
    }
    std::erase_if(connections, [](const Connection& c) { return c.fd.get() < 0; });
    if ((polled[1].revents & POLLIN) != 0) Accept(connections);
    connections_ = connections.size();
  }
  for (Connection& c : connections) c.Abandon();
  connections_ = 0;
}

void MetricsServer::Accept(std::vector<Connection>& connections) {
  while (connections.size() < kMaxConnections) {
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&from), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        acceptAfter_ = Clock::now() + kAcceptRetryPause;
      }
      return;  // EAGAIN: nobody else is waiting
    }
    Descriptor client(fd);
    const IpAddress peer = FromSocketAddress(from);
    if (admit_ && !admit_(peer)) {
      client.Close();
      if (refused_) refused_(peer);
      continue;
    }
    connections.emplace_back(std::move(client), Clock::now() + timeouts_.read);
  }
}

bool MetricsServer::Serve(Connection& c) {
  char buffer[kMaxRequestBytes];
  if (c.phase != Connection::Phase::kWriting) {
    // Reading stops at kMaxRequestBytes: the head is complete, bad or too
    // large by then. Draining reads to drop.
    const size_t room = c.phase == Connection::Phase::kReading
                            ? kMaxRequestBytes - c.received.size()
                            : sizeof(buffer);
    const ssize_t n = ::recv(c.fd.get(), buffer, room, 0);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;  // the client closed: no head to answer, or done
    if (c.phase == Connection::Phase::kDraining) return true;
    c.received.append(buffer, static_cast<size_t>(n));
    const HttpRequestParse request = ParseHttpRequest(c.received);
    if (request.result == HttpParseResult::kIncomplete) return true;
    c.response = Respond(request);
    c.received = std::string();
    c.phase = Connection::Phase::kWriting;
    c.deadline = Clock::now() + timeouts_.write;
    // The socket most likely has room now: write without another wait.
  }
  while (c.sent < c.response.size()) {
    const ssize_t n = ::send(c.fd.get(), c.response.data() + c.sent,
                             c.response.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    c.sent += static_cast<size_t>(n);
  }
  c.response = std::string();
  c.phase = Connection::Phase::kDraining;
  return ::shutdown(c.fd.get(), SHUT_WR) == 0;
}

std::string MetricsServer::Respond(const HttpRequestParse& request) {
  switch (request.result) {
    case HttpParseResult::kIncomplete:
    case HttpParseResult::kBad:
      return Response("400 Bad Request", kTextType,
                      std::string("bad request: ") + request.problem + "\n");
    case HttpParseResult::kTooLarge:
      return Response("431 Request Header Fields Too Large", kTextType,
                      "request head too large\n");
    case HttpParseResult::kComplete:
      break;
  }
  if (request.path != "/metrics") {
    return Response("404 Not Found", kTextType, "not found\n");
  }
  if (request.method != "GET") {
    return Response("405 Method Not Allowed", kTextType, "method not allowed\n",
                    "Allow: GET\r\n");
  }
  return Response("200 OK", kMetricsType, render_ ? render_() : std::string());
}

}  // namespace qmx
