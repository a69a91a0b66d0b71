// The metrics endpoint: a small plain-HTTP server that answers GET /metrics
// with the page its `render` function makes, and nothing else.
//
// One thread, started by Start and joined by Stop, owns the listening
// socket and every connection and serves them all from one poll loop over
// non-blocking descriptors, so no client can hold up another. Each
// connection gets one response and is closed:
//
//   GET /metrics           200, the rendered page (text exposition 0.0.4)
//   another method there   405 with "Allow: GET"
//   another path           404
//   a malformed head       400
//   a head past 4096 bytes 431
//
// Limits, so that a client cannot pin the thread or its memory:
//   - kMaxConnections at once. While that many are open the listening socket
//     is not looked at, so further clients wait in the kernel's listen
//     backlog rather than being accepted and closed. Waiting there costs the
//     thread nothing (no descriptor, no system call), the kernel bounds the
//     queue, and the timeouts below free a place within seconds, so a client
//     that holds every place can delay a scrape but not make it fail;
//     accepting and closing would let it fail every scrape, and would cost
//     the thread an accept and a close for every connect of a flood.
//   - the request head, read within `read` of the accept (time spent in the
//     backlog does not count) or the connection is closed without a reply:
//     a client that trickles its head in holds its place no longer than one
//     that sends nothing.
//   - the response, taken by the client within `write` or the connection is
//     reset (so the kernel drops what it still holds for it). Once it is sent, this side
//     ends its output and reads (and drops) what the client still sends until the client
//     closes or `write` runs out: closing with unread input would make the kernel reset
//     the connection, which can destroy a response the client has not read yet.
//
// A peer that `admit` refuses is closed at once, before any byte is read or
// written, and reported to `refused`.
//
// Threads: Start, Stop and the destructor are called by the owner's thread.
// `admit`, `refused` and `render` run on the server's thread, one at a time;
// Port and Connections may be read by any thread. Nothing throws.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "metrics/http_request.h"
#include "net/net_access.h"

namespace qmx {

struct MetricsTimeouts {
  std::chrono::milliseconds read{5000};   // from accept to a complete head
  std::chrono::milliseconds write{5000};  // for the client to take the response
};

class MetricsServer {
 public:
  static constexpr size_t kMaxConnections = 8;

  using AdmitFunction = std::function<bool(const IpAddress& peer)>;
  using RefusedFunction = std::function<void(const IpAddress& peer)>;
  using RenderFunction = std::function<std::string()>;

  // An empty `admit` admits every peer; `refused` may be empty.
  MetricsServer(AdmitFunction admit, RenderFunction render,
                RefusedFunction refused = nullptr, MetricsTimeouts timeouts = {});
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on `address`:`port` (an IPv6 address takes IPv6 peers alone; port
  // 0 lets the kernel choose) and starts the server's thread. False with
  // *failure set ("cannot listen on 127.0.0.1:9400: Address already in use")
  // when it cannot, or when it already runs.
  bool Start(const IpAddress& address, uint16_t port, std::string* failure);
  // Ends the thread at once, whatever the clients are doing, and closes the
  // listening socket and every connection. Does nothing when not started.
  void Stop();

  // The port it listens on (the chosen one after port 0); 0 before Start.
  uint16_t Port() const { return port_.load(); }
  // Connections open now.
  size_t Connections() const { return connections_.load(); }

 private:
  struct Connection;

  void Run();
  void Accept(std::vector<Connection>& connections);
  // Reads or writes what the connection is ready for; false once it is done.
  bool Serve(Connection& connection);
  std::string Respond(const HttpRequestParse& request);

  const AdmitFunction admit_;
  const RenderFunction render_;
  const RefusedFunction refused_;
  const MetricsTimeouts timeouts_;

  // Set by Start before the thread starts, closed by Stop after it ended.
  int listenFd_ = -1;
  int wakeFd_ = -1;  // an eventfd: Stop makes it readable
  std::thread thread_;
  std::atomic<uint16_t> port_{0};
  std::atomic<size_t> connections_{0};
  // When accept may be tried again after running out of descriptors or
  // memory (the server's thread alone).
  std::chrono::steady_clock::time_point acceptAfter_{};
};

}  // namespace qmx
