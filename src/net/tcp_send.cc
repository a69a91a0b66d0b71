// TcpOut: sending on a line, from the relay thread only.
//
// A client that stops reading must not freeze the relay thread, which serves
// every line: sends never block, and when a client has accepted nothing for
// the stall limit, TcpOut gives up and shuts that client down. Its accept
// thread then sees the end, drops it, and accepts the next client.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx {
namespace {

std::atomic<int> sendStallLimitMs{kSendStallLimitMs};

// Sends every byte, waiting for room while the peer is slow. Returns 0 or
// the errno of the failure (ETIMEDOUT when no byte went out for the limit).
int SendAll(int fd, const uint8_t* data, size_t size) {
  using Clock = std::chrono::steady_clock;
  const auto limit = std::chrono::milliseconds(sendStallLimitMs.load());
  auto lastProgress = Clock::now();
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = net::SysSend(fd, data + sent, size - sent, MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      lastProgress = Clock::now();
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        lastProgress + limit - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    if (net::SysPoll(fd, POLLOUT, static_cast<int>(left.count())) < 0) return errno;
    // Readiness (or an error condition, which the next send reports) or the
    // time-out, which the next pass turns into ETIMEDOUT.
  }
  return 0;
}

// Ends a client that stopped reading: its receive window is full, so a plain
// FIN would wait behind the unread data forever. With a zero linger time the
// close (by the accept thread, once the shutdown has woken it) resets the
// connection, and the client learns at once that it was dropped.
void DropStalledClient(int fd) {
  ::linger reset{1, 0};
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  (void)::shutdown(fd, SHUT_RDWR);
}

}  // namespace

void SetSendStallLimitForTest(int milliseconds) {
  sendStallLimitMs = milliseconds > 0 ? milliseconds : kSendStallLimitMs;
}

int SendStallLimitMs() { return sendStallLimitMs.load(); }

namespace {

int SendNow(int line, const uint64_t* serial, const void* data, int size, int* error) {
  *error = 0;
  TcpLine* record = net::FindLine(line);
  if (record == nullptr || record->state < LineState::kConnected || record->isClient ||
      size < 0) {
    *error = TCP_ERROR_STATUS;
    return -1;
  }
  std::shared_ptr<SocketHandle> client;
  {
    MutexLock lock(record->clientMutex);
    if (serial != nullptr && record->clientSerial.load() != *serial) {
      *error = TCP_ERROR_STATUS;
      return -1;
    }
    client = record->clientSocket;
  }
  if (!client) {
    *error = EBADF;
    DebugTracef("%s Tcpsend Error %d", record->name, *error);
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < static_cast<size_t>(size)) {
    ssize_t n = net::SysSend(client->fd(), bytes + sent, static_cast<size_t>(size) - sent,
                             MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      *error = errno;
      DebugTracef("%s Tcpsend Error %d", record->name, *error);
      return -1;
    }
    sent += static_cast<size_t>(n);
    // A short send means the socket's buffer is full: asking again at once
    // would only cost a call that takes nothing.
    if (sent < static_cast<size_t>(size)) break;
  }
  if (sent == static_cast<size_t>(size)) {
    DebugTracef("%s Tcpsend send_size=%d", record->name, size);
  }
  return static_cast<int>(sent);
}

}  // namespace

int TcpSendNow(int line, const void* data, int size, int* error) {
  return SendNow(line, nullptr, data, size, error);
}

int TcpSendNowTo(int line, uint64_t client, const void* data, int size, int* error) {
  return SendNow(line, &client, data, size, error);
}

void TcpDropClient(int line) {
  TcpLine* record = net::FindLine(line);
  if (record == nullptr) return;
  TcpDropClient(line, record->clientSerial.load());
}

namespace {

// Client `serial` of the line while it still holds it, else null; with
// `ending`, the line's accept thread is told to let it go.
std::shared_ptr<SocketHandle> HeldClient(TcpLine& record, uint64_t serial, bool ending) {
  MutexLock lock(record.clientMutex);
  if (record.clientSerial.load() != serial || !record.clientSocket) return nullptr;
  if (ending) record.clientEnding = true;
  return record.clientSocket;
}

}  // namespace

void TcpDropClient(int line, uint64_t serial) {
  TcpLine* record = net::FindLine(line);
  if (record == nullptr) return;
  // The accept thread lets the client go even if it waits for room in the
  // queue: a client that sends without reading must not keep its place.
  const std::shared_ptr<SocketHandle> client = HeldClient(*record, serial, true);
  if (!client) return;
  net::LineQueue(line).WakeWaiters();
  DropStalledClient(client->fd());
}

bool TcpClientInputEnded(int line, uint64_t client) {
  TcpLine* record = net::FindLine(line);
  return record != nullptr && client != 0 && record->inputEnded.load() == client;
}

void TcpEndClient(int line, uint64_t serial) {
  TcpLine* record = net::FindLine(line);
  if (record == nullptr) return;
  const std::shared_ptr<SocketHandle> client = HeldClient(*record, serial, false);
  if (client) (void)::shutdown(client->fd(), SHUT_WR);
}

uint64_t TcpClientSerial(int line) {
  TcpLine* record = net::FindLine(line);
  return record == nullptr ? 0 : record->clientSerial.load();
}

int TcpClientWaitHandle(int line) {
  TcpLine* record = net::FindLine(line);
  if (record == nullptr || record->isClient) return -1;
  MutexLock lock(record->clientMutex);
  return record->clientSocket ? record->clientSocket->fd() : -1;
}

int TcpOut(int line, const void* data, int size, int* error) {
  *error = 0;
  TcpLine* record = net::FindLine(line);
  if (record == nullptr || record->state < LineState::kConnected) {
    DebugTracef("%s TcpOut TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  // The callers never send more than the line's buffer holds; a size that
  // does not fit is refused rather than overrunning the buffer.
  if (size < 0 || size > record->sendBufferSize || !record->sendBuffer) {
    DebugTracef("%s TcpOut TCP_ERROR_STATUS", record->name);
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  if (size > 0) std::memcpy(record->sendBuffer.get(), data, static_cast<size_t>(size));

  // A server line sends on the accepted client, held here so that it stays
  // open even if its accept thread drops it meanwhile. A client line sends on
  // its own socket, which only TcpDisconnect closes; the caller must not
  // disconnect a client line while sending on it.
  std::shared_ptr<SocketHandle> client;
  int fd = -1;
  if (record->isClient) {
    fd = record->lineSocket;
  } else {
    MutexLock lock(record->clientMutex);
    client = record->clientSocket;
    if (client) fd = client->fd();
  }
  if (fd < 0) {
    // A server line between two clients: the bytes are lost.
    *error = EBADF;
    DebugTracef("%s Tcpsend Error %d", record->name, *error);
    return 0;
  }

  int failure = SendAll(fd, record->sendBuffer.get(), static_cast<size_t>(size));
  if (failure != 0) {
    *error = failure;
    DebugTracef("%s Tcpsend Error %d", record->name, failure);
    if (failure == ETIMEDOUT) DropStalledClient(fd);
    return 0;
  }
  DebugTracef("%s Tcpsend send_size=%d", record->name, size);
  return 1;
}

}  // namespace qmx
