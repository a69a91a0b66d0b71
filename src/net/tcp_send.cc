// Sending on a server line's client, for the relay only (socket_layer.h says
// on which threads), and dropping or ending a client.
//
// A client that stops reading must not freeze the relay thread, which serves
// every line: sends never wait. The relay keeps what a client did not take
// and drops that client (TcpDropClient) once it has taken nothing for the
// stall limit; its accept thread then sees the end, lets it go, and accepts
// the next client.
#include <sys/socket.h>

#include <cerrno>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx {
namespace {

std::atomic<int> sendStallLimitMs{kSendStallLimitMs};

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
  if (record == nullptr || record->state < LineState::kConnected || size < 0) {
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
  if (record == nullptr) return -1;
  MutexLock lock(record->clientMutex);
  return record->clientSocket ? record->clientSocket->fd() : -1;
}

}  // namespace qmx
