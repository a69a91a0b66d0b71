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
#include <cstring>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "net/net_access.h"
#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "platform/session_log.h"

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

// What a wait of the accept thread ended with: the descriptor is ready, the
// line's wake-up descriptor was signalled (a stop or a drop: the flags say
// which), or poll failed.
enum class Woken { kReady, kWake, kFailed };

// Waits until `fd` has one of `events` (0: only a hang-up or an error) or
// the line's wake-up descriptor is signalled, which it takes; -1 waits
// without limit, else up to `ms`.
Woken WaitOn(TcpLine& line, int fd, short events, int ms = -1) {
  ::pollfd watched[2] = {{fd, events, 0}, {line.wakeFd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(watched, 2, ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Woken::kFailed;
    if (watched[1].revents != 0) {
      net::DrainWake(line.wakeFd);
      return Woken::kWake;
    }
    return Woken::kReady;
  }
}

bool Ending(const TcpLine& line) { return line.stopRequested || line.clientEnding; }

// The error pending on a socket (SO_ERROR), 0 for none or for a descriptor
// that is not a socket.
int SocketError(int fd) {
  int code = 0;
  ::socklen_t length = sizeof(code);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length) != 0) return 0;
  return code;
}

// Receives from the client until its input ends, or until the line is being
// disconnected or the client dropped, queueing every byte unchanged and in
// order. The put waits for room rather than drop bytes; the client is slowed
// down by TCP's own flow control meanwhile. A failed receive leaves its errno
// in *error.
InputEnd ServeClient(TcpLine& line, ByteQueue& queue, ClientConnection& client,
                     int* error) {
  Event* wake = line.inputWake.load();
  uint8_t buffer[net::kRecvChunk];
  bool wait = false;  // the last receive found nothing more waiting
  for (;;) {
    if (Ending(line)) return InputEnd::kGone;
    if (wait) {
      const WantedEvents wanted = client.Wanted(true, false);
      const short events = static_cast<short>((wanted.readable ? POLLIN : 0) |
                                              (wanted.writable ? POLLOUT : 0));
      if (WaitOn(line, client.WaitHandle(), events) == Woken::kFailed) {
        return InputEnd::kGone;
      }
      wait = false;
      continue;
    }
    const ConnectionIo io = client.Receive(buffer);
    switch (io.kind) {
      case ConnectionIo::Kind::kWouldBlock:
        wait = true;
        continue;
      case ConnectionIo::Kind::kEnded:
        DebugTracef("%s recv Connection broken ", line.name);
        return InputEnd::kEndOfInput;
      case ConnectionIo::Kind::kGone:
        line.lastError = io.error;
        *error = io.error;
        DebugTracef("%s recv Error %d", line.name, io.error);
        return InputEnd::kGone;
      case ConnectionIo::Kind::kDone:
        break;
    }
    client.tally.received.fetch_add(io.count, std::memory_order_relaxed);
    line.tally.bytesFromClients.fetch_add(io.count, std::memory_order_relaxed);
    const auto bytes = std::span<const uint8_t>(buffer, io.count);
    const size_t fitted = queue.PutSome(bytes);
    if (fitted < bytes.size()) {
      // The queue is full: wake the relay thread for what it holds before
      // waiting for room, or both would wait for each other.
      if (!queue.Drain() && wake != nullptr) wake->Set();
      queue.PutWait(bytes.subspan(fitted), line.clientEnding);
    }
    DebugTracef("nBytesReceived = %d", static_cast<int>(io.count));
    // The relay's shortcut writes the bytes to the device from this thread
    // when it can; otherwise the relay thread is woken for them.
    if (!queue.Drain() && wake != nullptr) wake->Set();
    // A receive that did not fill the buffer took everything there was.
    wait = io.count < sizeof(buffer);
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

// True when the client may use the line; a client that may not is let go
// by the caller at once, before it is greeted, takes the line's place or has
// a byte queued, and the refusal is traced and reported here.
bool Admit(TcpLine& line, const ClientConnection& client) {
  const IpAddress& peer = client.Peer();
  if (line.layer->TcpPeerAllowed(line.control ? 0 : line.lineIndex, peer)) return true;
  line.tally.refused.fetch_add(1, std::memory_order_relaxed);
  DebugTracef("%s refused %s", line.name, FormatIpAddress(UnmapIpAddress(peer)).c_str());
  line.layer->ReportRefusal(line.listenPort, peer);
  return false;
}

// Settles the client's connection (a TLS handshake) before it takes the
// line's place, so a client that never completes one, or does not speak
// TLS, holds the line no longer than kHandshakeLimitMs and never gets a byte
// of the device. A failure is traced, counted as a refusal and logged.
bool Settle(TcpLine& line, ClientConnection& client) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(SocketLayer::kHandshakeLimitMs);
  std::string failure;
  for (;;) {
    // Only a stop counts here: clientEnding may still be the last client's.
    if (line.stopRequested) return false;
    const ConnectionIo io = client.Handshake();
    if (io.kind == ConnectionIo::Kind::kDone) return true;
    if (io.kind != ConnectionIo::Kind::kWouldBlock) {
      failure = client.Failure().empty() ? "the handshake failed" : client.Failure();
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      failure = "no handshake within " +
                std::to_string(SocketLayer::kHandshakeLimitMs / 1000) + " s";
      break;
    }
    const WantedEvents wanted = client.Wanted(true, false);
    const short events = static_cast<short>((wanted.readable ? POLLIN : 0) |
                                            (wanted.writable ? POLLOUT : 0));
    if (WaitOn(line, client.WaitHandle(), events, static_cast<int>(left.count())) ==
        Woken::kFailed)
      return false;
  }
  DebugTracef("%s handshake failed", line.name);
  net::LogRefused(line, client, failure);
  return false;
}

// A client that ended its input (shutdown(SHUT_WR), as nc -q, socat and most
// scripts do) may still read: it keeps the line until the connection is down
// both ways. That is when a send to it failed (it closed), keep-alive found
// it gone, the stall limit dropped it, the relay ended a control client after
// its last reply (TcpEndClient), or the line is disconnected; each either
// fails the connection, which poll reports as a hang-up or an error with no
// event asked for, or signals the line's wake-up descriptor.
//
// A client that closes after ending its input sends nothing more: its end
// shows only when something is sent to it, or after a minute when its side
// of the connection is gone. So on a data line such a client gives the line
// up as soon as another allowed client connects: a script run again gets the
// line at once instead of waiting behind its own earlier run. Returns that
// successor, or null. A connection that failed leaves its errno in *error.
std::unique_ptr<ClientConnection> AwaitHangUp(TcpLine& line, ClientConnection& client,
                                              int* error) {
  // A control line's further sessions share line 0's listener and have none
  // of their own; a control client never gives its place to a waiting one.
  ::pollfd watched[3] = {{client.WaitHandle(), 0, 0},
                         {line.wakeFd, POLLIN, 0},
                         {line.control ? -1 : line.listener->WaitHandle(), POLLIN, 0}};
  nfds_t count = line.control ? 2 : 3;
  while (!Ending(line)) {
    for (auto& entry : watched) entry.revents = 0;
    const int ready = ::poll(watched, count, -1);
    if (ready < 0 && errno != EINTR) return nullptr;
    if (ready <= 0) continue;
    if (watched[1].revents != 0) {
      net::DrainWake(line.wakeFd);
      continue;  // the loop's condition says whether to end
    }
    if ((watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      if ((watched[0].revents & POLLERR) != 0) *error = SocketError(client.WaitHandle());
      return nullptr;
    }
    if (count < 3 || watched[2].revents == 0) continue;
    int acceptError = 0;
    std::unique_ptr<ClientConnection> successor = line.listener->Accept(&acceptError);
    // The waiting client settles its connection first: one that never
    // completes a TLS handshake does not push out the client that has the
    // line (the relay goes on sending to it meanwhile).
    if (successor != nullptr && Admit(line, *successor) && Settle(line, *successor)) {
      DebugTracef("%s a client waits: the one whose input ended lets go", line.name);
      return successor;
    }
    if (successor != nullptr) continue;  // closed as it goes
    // A lasting failure (out of descriptors, say) would wake this loop again
    // at once: the listener is left to the accept loop, which pauses between
    // attempts, and only the client's end is waited for.
    if (successor == nullptr && acceptError != 0 &&
        !AcceptErrorIsPerConnection(acceptError))
      count = 2;
  }
  return nullptr;
}

// Why a client's service ended, for the session log; counts a client that
// keep-alive found gone.
std::string EndOfService(TcpLine& line, InputEnd end, int error, bool replaced) {
  switch (line.dropReason.load()) {
    case DropReason::kStalled:
      return "dropped: it stopped taking what it was sent";
    case DropReason::kKeepalive:
      return "dropped: keep-alive found it gone";
    case DropReason::kIdle:
      return "dropped: idle too long";
    case DropReason::kOperator:
      return "dropped by an operator";
    case DropReason::kNone:
      break;
  }
  if (line.stopRequested) return "the line closed";
  if (error == ETIMEDOUT) {
    net::CountDrop(line.tally, DropReason::kKeepalive);
    line.dropReason = DropReason::kKeepalive;
    return "dropped: keep-alive found it gone";
  }
  if (error != 0) return std::string("connection failed: ") + std::strerror(error);
  if (replaced) return "ended its input, and a waiting client took the line";
  if (end == InputEnd::kEndOfInput) return "closed by the client";
  return "closed";
}

void LogConnect(TcpLine& line, const ClientConnection& client) {
  SessionLog* log = line.layer->sessionLog();
  if (log == nullptr) return;
  log->Write(LogPriority::kInfo, "TCP port " + std::to_string(line.listenPort.load()) +
                                     ": " + client.Name() + " connected");
}

void LogDisconnect(TcpLine& line, const ClientConnection& client,
                   const std::string& why) {
  SessionLog* log = line.layer->sessionLog();
  if (log == nullptr) return;
  const bool dropped = line.dropReason.load() != DropReason::kNone;
  log->Write(dropped ? LogPriority::kWarning : LogPriority::kInfo,
             "TCP port " + std::to_string(line.listenPort.load()) + ": " + client.Name() +
                 " disconnected (" + why + "), " +
                 std::to_string(client.tally.received.load()) + " bytes from it, " +
                 std::to_string(client.tally.sent.load()) + " bytes to it");
}

}  // namespace

void net::LogRefused(TcpLine& line, const ClientConnection& client,
                     const std::string& reason) {
  line.tally.refused.fetch_add(1, std::memory_order_relaxed);
  if (SessionLog* log = line.layer->sessionLog(); log != nullptr) {
    log->Write(LogPriority::kWarning, "TCP port " +
                                          std::to_string(line.listenPort.load()) + ": " +
                                          client.Name() + " refused: " + reason);
  }
}

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
  if (network_ != nullptr) {
    record->listener = network_->Listen(port, error);
    if (record->listener == nullptr) {
      DebugTracef("%s Tcplisten NG %d", record->name, *error);
      return 0;
    }
  } else {
    if (!ListenEverywhere(*record, port, error)) return 0;
    ConnectionMaker maker;
    if (SecureLine(line)) {
      MutexLock lock(configMutex_);
      maker = maker_;
    }
    record->listener = net::MakeSocketListener(*record, std::move(maker), error);
  }
  record->wakeFd = net::MakeWake();
  if (record->listener == nullptr || record->wakeFd < 0) {
    if (*error == 0) *error = errno;
    DebugTracef("%s Tcplisten NG %d", record->name, *error);
    record->listener.reset();
    if (record->wakeFd >= 0) ::close(record->wakeFd);
    record->wakeFd = -1;
    return 0;
  }
  record->listenPort = port;
  record->state = LineState::kListening;
  DebugTracef("%s TcpListen OK", record->name);
  if (line == 0) StartControlSessions(*record);

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
  Listener& listener = line.listener ? *line.listener : *line.sharedListener;
  // A client accepted while its predecessor was ending.
  std::unique_ptr<ClientConnection> successor;
  while (!line.stopRequested) {
    DebugTracef("%s TcpAcceptThread", line.name);
    std::unique_ptr<ClientConnection> accepted = std::move(successor);
    if (accepted == nullptr) {
      const Woken woken = WaitOn(line, listener.WaitHandle(), POLLIN);
      if (woken == Woken::kFailed) break;
      if (woken == Woken::kWake) continue;
      int code = 0;
      accepted = listener.Accept(&code);
      if (accepted == nullptr) {
        if (code == 0) continue;  // the client left before it was taken
        line.lastError = code;
        DebugTracef("%s accept Error %d", line.name, code);
        if (AcceptErrorIsFinal(code)) break;
        // A lasting condition (out of descriptors, buffers or memory) must
        // not make the thread spin; a stop still ends the pause at once.
        if (!AcceptErrorIsPerConnection(code)) {
          (void)WaitOn(line, line.wakeFd, 0, net::kAcceptRetryPauseMs);
        }
        continue;
      }
      if (!Admit(line, *accepted)) continue;  // closed as it goes
    }
    if (!Settle(line, *accepted)) continue;  // closed as it goes
    if (line.control && !TakeControlPlace(line, *accepted)) continue;

    std::shared_ptr<ClientConnection> client(std::move(accepted));
    {
      MutexLock lock(line.clientMutex);
      // A disconnect under way has already looked for a client; this one is
      // dropped unserved and the loop ends on the stop flag.
      if (line.stopRequested) {
        if (line.control) LeaveControlPlace();
        continue;
      }
      line.client = client;
      line.clientEnding = false;
      line.dropReason = DropReason::kNone;
      line.clientSerial.fetch_add(1);
      line.state = LineState::kConnected;
    }
    line.tally.accepted.fetch_add(1, std::memory_order_relaxed);
    LogConnect(line, *client);
    DebugTracef("%s accepted something", line.name);
    if (line.control) {
      // The connect marker makes the relay thread greet the new client.
      const uint8_t marker = 0xFF;
      queue.PutWait(std::span<const uint8_t>(&marker, 1), line.clientEnding);
    }
    if (wake != nullptr) wake->Set();

    int error = 0;
    const InputEnd end = ServeClient(line, queue, *client, &error);
    if (end == InputEnd::kEndOfInput) {
      // Everything the client sent is queued. The relay answers a control
      // client's complete commands and then ends it; a data client goes on
      // getting the device's bytes.
      if (line.control) {
        line.inputEnded.store(line.clientSerial.load());
        if (wake != nullptr) wake->Set();
      }
      successor = AwaitHangUp(line, *client, &error);
    }
    std::string why = EndOfService(line, end, error, successor != nullptr);
    if (const std::string note = client->InputEndNote();
        end == InputEnd::kEndOfInput && !note.empty())
      why += "; its input " + note;
    // A send in progress on another thread holds the connection too; its
    // bytes are counted once it returns, so the log waits (briefly) for it.
    for (int i = 0; i < 100 && client.use_count() > 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    LogDisconnect(line, *client, why);

    // The line stays in state 4 without a client until the next one comes.
    // The connection closes when the last user (this thread or a send in
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
    if (line.control) queue.Reset();
    {
      MutexLock lock(line.clientMutex);
      line.client.reset();
      if (line.control) line.clientSerial.fetch_add(1);
    }
    if (line.control) LeaveControlPlace();
    if (line.control && wake != nullptr) wake->Set();
  }
  // A stop takes the listener away as an accept on a shut-down socket fails.
  if (line.stopRequested) DebugTracef("%s accept Error %d", line.name, EINVAL);
  AcceptRunning(line.lineIndex) = false;
}

}  // namespace qmx
