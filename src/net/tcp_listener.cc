// Making a line reachable: TcpListen binds and listens on each listen
// address, and the line's accept-and-receive thread serves one allowed client
// after another, queueing what each sends for the relay thread. A datagram line is only
// bound; its receiving thread is UdpRecvServerThread (datagram.cc).
//
// The thread is the only one that stores a client into the record; it checks
// stopRequested under clientMutex before it does, which is what lets
// TcpDisconnect find every client it must shut down (socket_layer.cc).
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_access.h"
#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"

namespace qmx {
namespace {

// Errors after which the listening socket can no longer accept: it was shut
// down or closed, or is not a listening socket at all.
bool AcceptErrorIsFinal(int code) {
  return code == EBADF || code == EINVAL || code == ENOTSOCK;
}

// Errors that concern only the connection being accepted (it was aborted, or
// the network under it failed); the next accept may well succeed at once.
// Everything else (out of descriptors, buffers or memory, or unknown) gets a
// short pause so that a lasting condition cannot make the thread spin.
bool AcceptErrorIsPerConnection(int code) {
  switch (code) {
    case ECONNABORTED:
    case EPROTO:
    case EINTR:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case EPERM:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// How a client's service ended: its input ended (it half-closed, or closed),
// or it is gone (a receive failed, or the line drops or disconnects it).
enum class InputEnd { kEndOfInput, kGone };

// Receives from the client until its input ends, or until the line is being
// disconnected, queueing every byte unchanged and in order. The put waits
// for room rather than drop bytes; the client is slowed down by TCP's own
// flow control meanwhile.
InputEnd ServeClient(TcpLine& line, ByteQueue& queue, int fd) {
  Event* wake = line.inputWake.load();
  uint8_t buffer[net::kRecvChunk];
  for (;;) {
    ssize_t n = net::SysRecv(fd, buffer, sizeof(buffer));
    if (n < 0) {
      line.lastError = errno;
      DebugTracef("%s recv Error %d", line.name, line.lastError.load());
      return InputEnd::kGone;
    }
    if (n == 0) {
      DebugTracef("%s recv Connection broken ", line.name);
      return InputEnd::kEndOfInput;
    }
    const auto bytes = std::span<const uint8_t>(buffer, static_cast<size_t>(n));
    const size_t fitted = queue.PutSome(bytes);
    if (fitted < bytes.size()) {
      // The queue is full: wake the relay thread for what it holds before
      // waiting for room, or both would wait for each other.
      if (!queue.Drain() && wake != nullptr) wake->Set();
      queue.PutWait(bytes.subspan(fitted), line.clientEnding);
    }
    DebugTracef("nBytesReceived = %d", static_cast<int>(n));
    // The relay's shortcut writes the bytes to the device from this thread
    // when it can; otherwise the relay thread is woken for them.
    if (!queue.Drain() && wake != nullptr) wake->Set();
    // TcpDisconnect has shut the client down and may free the queue as soon
    // as this thread has ended: nothing more is queued.
    if (line.stopRequested || line.clientEnding) return InputEnd::kGone;
  }
}

// Traces and reports a failed bind or listen of the line.
int ListenFailure(TcpLine& record, const net::ListenSocket& failed, int* error) {
  *error = failed.error;
  DebugTracef(failed.step[0] == 'l' ? "%s Tcplisten NG %d" : "%s Tcpbind NG %d",
              record.name, failed.error);
  return 0;
}

// The family of a socket: AF_INET or AF_INET6 (or -1).
int SocketFamily(int fd) {
  int family = -1;
  ::socklen_t length = sizeof(family);
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) return -1;
  return family;
}

// Binds and listens on every listen address: the line's own socket for the
// first, a new socket for each further one. On failure the line keeps a
// socket of its own that does not listen (state 1), and no further socket
// stays open.
int ListenEverywhere(TcpLine& record, uint16_t port, int* error) {
  std::vector<IpAddress> addresses = record.layer->TcpListenAddresses();
  const bool allAddresses = addresses.empty();
  const int wanted = allAddresses ? -1 : (addresses[0].family == 4 ? AF_INET : AF_INET6);
  int family = SocketFamily(record.lineSocket);
  if (wanted != -1 && family != wanted) {
    // The addresses changed after TcpSocket: the line's socket is replaced by
    // one of the right family.
    const int fd = net::NewServerSocket(addresses);
    if (fd < 0) return ListenFailure(record, net::ListenSocket{-1, errno, "bind"}, error);
    ::close(record.lineSocket);
    record.lineSocket = fd;
    family = wanted;
  }
  if (allAddresses) {
    IpAddress any;
    any.family = family == AF_INET6 ? 6 : 4;
    addresses.push_back(any);
  }
  net::ListenSocket first = net::ListenOn(record.lineSocket, addresses[0], port);
  if (first.fd < 0 && allAddresses && family == AF_INET6 &&
      (first.error == EADDRNOTAVAIL || first.error == EAFNOSUPPORT)) {
    // IPv6 is switched off on this host: all IPv4 addresses alone.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      ::close(record.lineSocket);
      record.lineSocket = fd;
      IpAddress any;
      any.family = 4;
      first = net::ListenOn(fd, any, port);
    }
  }
  if (first.fd < 0) return ListenFailure(record, first, error);
  for (size_t i = 1; i < addresses.size(); ++i) {
    const net::ListenSocket more = net::OpenListenSocket(addresses[i], port, false);
    if (more.fd < 0) {
      net::CloseMoreSockets(record);
      // The first address already listens; a fresh socket takes the line's
      // place, so that a failed line holds no listener for clients to wait
      // on in vain.
      const int fresh = net::NewServerSocket(addresses);
      if (fresh >= 0) {
        ::close(record.lineSocket);
        record.lineSocket = fresh;
      }
      return ListenFailure(record, more, error);
    }
    record.moreSockets.push_back(more.fd);
  }
  return 1;
}

// The address a datagram line binds: the first IPv4 listen address (the
// any-address when none are set) and the line's port. A datagram line is
// IPv4 alone, so it fails with TCP_ERROR_HOST when only IPv6 listen addresses
// are set.
int DatagramAddress(const TcpLine& record, ::sockaddr_in* address, int* error) {
  *address = ::sockaddr_in{};
  address->sin_family = AF_INET;
  if (!net::FirstIpv4ListenAddress(record.layer->TcpListenAddresses(),
                                   &address->sin_addr)) {
    DebugTrace("TcpListen TCP_ERROR_HOST");
    *error = TCP_ERROR_HOST;
    return 0;
  }
  uint16_t port = 0;
  if (!ParsePortText(FieldText(record.port), &port)) {
    DebugTrace("TcpListen TCP_ERROR_PORT");
    *error = TCP_ERROR_PORT;
    return 0;
  }
  address->sin_port = htons(port);
  return 1;
}

// A datagram line is ready once bound; its thread receives on the socket. If
// the thread does not start the line stays in state 1.
int ListenDatagram(TcpLine& record, int* error) {
  ::sockaddr_in address{};
  if (!DatagramAddress(record, &address, error)) return 0;
  if (::bind(record.lineSocket, reinterpret_cast<const ::sockaddr*>(&address),
             sizeof(address)) != 0) {
    *error = errno;
    DebugTracef("%s Tcpbind NG %d", record.name, *error);
    return 0;
  }
  const int failure = net::StartRecordThread(record, &SocketLayer::UdpRecvServerThread);
  if (failure != 0) {
    DebugTracef("%s TcpListen _beginthread Error %d", record.name, failure);
    *error = TCP_ERROR_THREAD;
    return 0;
  }
  record.state = LineState::kBound;
  DebugTracef("%s UdpBind OK", record.name);
  return 1;
}

// Waits on all of the line's listening sockets and accepts the next client.
// Returns its descriptor with its address in *peer, or -1 with errno set
// when a socket failed (a shut-down socket fails with EINVAL).
int AcceptNext(std::vector<::pollfd>& sockets, size_t* next, IpAddress* peer) {
  for (;;) {
    for (auto& entry : sockets) entry.revents = 0;
    if (::poll(sockets.data(), sockets.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // Start with a different socket each time, so that a busy address
    // cannot keep the others waiting.
    for (size_t k = 0; k < sockets.size(); ++k) {
      const size_t i = (*next + k) % sockets.size();
      if (sockets[i].revents == 0) continue;
      const int fd = net::SysAccept(sockets[i].fd, peer);
      if (fd >= 0) {
        *next = i + 1;
        return fd;
      }
      // The client left between the wake-up and the accept.
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return -1;
    }
  }
}

// True when `peer` may use the line; a client that may not is closed at
// once, before it is greeted, takes the line's place or has a byte queued,
// and the refusal is traced and reported.
bool Admit(TcpLine& line, int fd, const IpAddress& peer) {
  if (line.layer->TcpPeerAllowed(line.lineIndex, peer)) return true;
  SocketHandle refused(fd);
  DebugTracef("%s refused %s", line.name, FormatIpAddress(UnmapIpAddress(peer)).c_str());
  line.layer->ReportRefusal(line.listenPort, peer);
  return false;
}

// A client that ended its input (shutdown(SHUT_WR), as nc -q, socat and most
// scripts do) may still read: it keeps the line until the connection is down
// both ways. That is when a send to it failed (it closed), keep-alive found
// it gone, the stall limit dropped it, the relay ended a control client after
// its last reply (TcpEndClient), or the line is disconnected; each shuts the
// socket down or fails it, which poll reports as a hang-up or an error with
// no event asked for.
//
// A client that closes after ending its input sends nothing more: its end
// shows only when something is sent to it, or after a minute when its side
// of the connection is gone. So on a data line such a client gives the line
// up as soon as another allowed client connects: a script run again gets the
// line at once instead of waiting behind its own earlier run. Returns that
// successor's descriptor, with its address in *peer, or -1.
int AwaitHangUp(TcpLine& line, int fd, const std::vector<::pollfd>& sockets,
                IpAddress* peer) {
  std::vector<::pollfd> watched;
  watched.push_back({fd, 0, 0});
  if (line.lineIndex != 0) watched.insert(watched.end(), sockets.begin(), sockets.end());
  while (!line.stopRequested && !line.clientEnding) {
    for (auto& entry : watched) entry.revents = 0;
    const int ready = ::poll(watched.data(), watched.size(), -1);
    if (ready < 0 && errno != EINTR) return -1;
    if (ready <= 0) continue;
    if ((watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return -1;
    bool acceptFailing = false;
    for (size_t i = 1; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      const int successor = net::SysAccept(watched[i].fd, peer);
      if (successor >= 0 && Admit(line, successor, *peer)) {
        DebugTracef("%s a client waits: the one whose input ended lets go", line.name);
        return successor;
      }
      acceptFailing =
          acceptFailing || (successor < 0 && errno != EAGAIN && errno != EWOULDBLOCK &&
                            !AcceptErrorIsPerConnection(errno));
    }
    // A lasting failure (out of descriptors, say) would wake this loop again
    // at once: the listening sockets are left to the accept loop, which
    // pauses between attempts, and only the client's end is waited for.
    if (acceptFailing) watched.resize(1);
  }
  return -1;
}

}  // namespace

int SocketLayer::TcpListen(int line, int* error) {
  *error = 0;
  TcpLine* record = FindLine(line);
  if (record == nullptr || record->state != LineState::kSocket) {
    DebugTracef("%s TcpListen TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  if (record->socketType != SocketType::kStream) return ListenDatagram(*record, error);

  uint16_t port = 0;
  if (!ParsePortText(FieldText(record->port), &port)) {
    DebugTrace("TcpListen TCP_ERROR_PORT");
    *error = TCP_ERROR_PORT;
    return 0;
  }
  if (!ListenEverywhere(*record, port, error)) return 0;
  record->listenPort = port;
  record->state = LineState::kListening;
  DebugTracef("%s TcpListen OK", record->name);

  record->stopRequested = false;
  AcceptRunning(line) = true;
  try {
    record->acceptThread = std::thread(&SocketLayer::TcpAcceptThread, this, record);
  } catch (const std::system_error& failure) {
    // The line stays in state 3 and nothing accepts on its sockets until it
    // is disconnected.
    AcceptRunning(line) = false;
    DebugTracef("%s TcpAccept _beginthread Error %d", record->name,
                failure.code().value());
    *error = TCP_ERROR_THREAD;
    return 0;
  }
  return 1;
}

void SocketLayer::TcpAcceptThread(TcpLine* record) {
  TcpLine& line = *record;
  ByteQueue& queue = LineQueue(line.lineIndex);
  Event* wake = line.inputWake.load();
  std::vector<::pollfd> sockets;
  sockets.push_back({line.lineSocket.load(), POLLIN, 0});
  for (int more : line.moreSockets) sockets.push_back({more, POLLIN, 0});
  size_t next = 0;
  int successor = -1;  // a client accepted while its predecessor was ending
  IpAddress successorPeer;
  for (;;) {
    DebugTracef("%s TcpAcceptThread", line.name);
    IpAddress peer;
    int fd = -1;
    if (successor >= 0) {
      fd = std::exchange(successor, -1);
      peer = successorPeer;
    } else {
      fd = AcceptNext(sockets, &next, &peer);
      if (fd < 0) {
        const int code = errno;
        line.lastError = code;
        DebugTracef("%s accept Error %d", line.name, code);
        if (line.stopRequested || AcceptErrorIsFinal(code)) break;
        if (!AcceptErrorIsPerConnection(code)) {
          std::this_thread::sleep_for(
              std::chrono::milliseconds(net::kAcceptRetryPauseMs));
        }
        continue;
      }
      if (!Admit(line, fd, peer)) continue;
    }

    auto client = std::make_shared<SocketHandle>(fd);
    // Set before the client is visible to other threads.
    net::SetNoDelay(fd);
    net::SetKeepAlive(fd);
    {
      MutexLock lock(line.clientMutex);
      // A disconnect under way has already looked for a client; this one is
      // dropped unserved and the next accept fails on the shut-down socket.
      if (line.stopRequested) continue;
      line.clientSocket = client;
      line.clientEnding = false;
      line.clientSerial.fetch_add(1);
      line.state = LineState::kConnected;
    }
    DebugTracef("%s accepted something", line.name);
    if (line.lineIndex == 0) {
      // The connect marker makes the relay thread greet the new client.
      const uint8_t marker = 0xFF;
      queue.PutWait(std::span<const uint8_t>(&marker, 1), line.clientEnding);
    }
    if (wake != nullptr) wake->Set();

    if (ServeClient(line, queue, fd) == InputEnd::kEndOfInput) {
      // Everything the client sent is queued. The relay answers a control
      // client's complete commands and then ends it; a data client goes on
      // getting the device's bytes.
      if (line.lineIndex == 0) {
        line.inputEnded.store(line.clientSerial.load());
        if (wake != nullptr) wake->Set();
      }
      successor = AwaitHangUp(line, fd, sockets, &successorPeer);
    }

    // The line stays in state 4 without a client until the next one comes.
    // The socket closes when the last user (this thread or a send in
    // progress) lets go of it.
    //
    // What a departed control client sent and the relay has not run yet (an
    // unfinished line, or input of a client that went before it ended) is
    // dropped, and the serial changes, so the relay drops the rest of that
    // client's unfinished line and its replies too: nothing of one client
    // reaches the next. The queue is emptied before the serial changes, so
    // bytes the relay takes after it sees the new serial are never the old
    // client's. It is emptied outside clientMutex (a queue's lock comes
    // before it); this thread is its only producer, so it stays empty.
    if (line.lineIndex == 0) queue.Reset();
    {
      MutexLock lock(line.clientMutex);
      line.clientSocket.reset();
      if (line.lineIndex == 0) line.clientSerial.fetch_add(1);
    }
    if (line.lineIndex == 0 && wake != nullptr) wake->Set();
  }
  AcceptRunning(line.lineIndex) = false;
}

}  // namespace qmx
