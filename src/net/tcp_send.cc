// Sending on a server line's client, for the relay only (socket_layer.h says
// on which threads), and dropping or ending a client.
//
// A client that stops reading must not freeze the relay thread, which serves
// every line: sends never wait. The relay keeps what a client did not take
// and drops that client (TcpDropClient) once it has taken nothing for the
// stall limit; its accept thread then sees the end, lets it go, and accepts
// the next client.
#include <cerrno>
#include <memory>
#include <span>
#include <string>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx {

void SocketLayer::SetSendStallLimitForTest(int milliseconds) {
  sendStallLimitMs_ = milliseconds > 0 ? milliseconds : kSendStallLimitMs;
}

int SocketLayer::SendStallLimitMs() { return sendStallLimitMs_.load(); }

namespace {

int SendNow(TcpLine* record, const uint64_t* serial, const void* data, int size,
            int* error) {
  *error = 0;
  if (record == nullptr || record->state < LineState::kConnected || size < 0) {
    *error = TCP_ERROR_STATUS;
    return -1;
  }
  std::shared_ptr<ClientConnection> client;
  {
    MutexLock lock(record->clientMutex);
    if (serial != nullptr && record->clientSerial.load() != *serial) {
      *error = TCP_ERROR_STATUS;
      return -1;
    }
    client = record->client;
  }
  if (!client) {
    *error = EBADF;
    DebugTracef("%s Tcpsend Error %d", record->name, *error);
    return -1;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < static_cast<size_t>(size)) {
    const ConnectionIo io = client->SendNow(
        std::span<const uint8_t>(bytes + sent, static_cast<size_t>(size) - sent));
    if (io.kind == ConnectionIo::Kind::kWouldBlock) break;
    if (io.kind != ConnectionIo::Kind::kDone) {
      *error = io.error != 0 ? io.error : EPIPE;
      DebugTracef("%s Tcpsend Error %d", record->name, *error);
      return -1;
    }
    sent += io.count;
    // A short send means the socket's buffer is full: asking again at once
    // would only cost a call that takes nothing.
    if (sent < static_cast<size_t>(size)) break;
  }
  if (sent > 0) {
    client->tally.sent.fetch_add(sent, std::memory_order_relaxed);
    record->tally.bytesToClients.fetch_add(sent, std::memory_order_relaxed);
  }
  if (sent == static_cast<size_t>(size)) {
    DebugTracef("%s Tcpsend send_size=%d", record->name, size);
  }
  return static_cast<int>(sent);
}

}  // namespace

int SocketLayer::TcpSendNow(int line, const void* data, int size, int* error) {
  return SendNow(FindLine(line), nullptr, data, size, error);
}

int SocketLayer::TcpSendNowTo(int line, uint64_t client, const void* data, int size,
                              int* error) {
  return SendNow(FindLine(line), &client, data, size, error);
}

namespace net {

void CountDrop(LineTally& tally, DropReason why) {
  switch (why) {
    case DropReason::kStalled:
      tally.dropsStalled.fetch_add(1, std::memory_order_relaxed);
      break;
    case DropReason::kKeepalive:
      tally.dropsKeepalive.fetch_add(1, std::memory_order_relaxed);
      break;
    case DropReason::kIdle:
      tally.dropsIdle.fetch_add(1, std::memory_order_relaxed);
      break;
    case DropReason::kOperator:
    case DropReason::kNone:
      break;
  }
}

}  // namespace net

namespace {

using net::CountDrop;

// Client `serial` of the line while it still holds it, else null; with
// `ending`, the line's accept thread is told to let it go and woken, and the
// first drop of the client (`why` not kNone) is counted. The
// wake-up descriptor is signalled under clientMutex while the client is
// still held: the accept thread has not let it go, so it has not ended, and
// TcpDisconnect, which closes the descriptor only after joining it, has not
// closed it.
std::shared_ptr<ClientConnection> HeldClient(TcpLine& record, uint64_t serial,
                                             bool ending,
                                             DropReason why = DropReason::kNone) {
  MutexLock lock(record.clientMutex);
  if (record.clientSerial.load() != serial || !record.client) return nullptr;
  if (ending) {
    if (why != DropReason::kNone && record.dropReason.load() == DropReason::kNone) {
      record.dropReason = why;
      CountDrop(record.tally, why);
    }
    record.clientEnding = true;
    if (record.wakeFd >= 0) net::SignalWake(record.wakeFd);
  }
  return record.client;
}

}  // namespace

void SocketLayer::TcpDropClient(int line, uint64_t serial, DropReason why) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return;
  // The accept thread lets the client go even if it waits for room in the
  // queue: a client that sends without reading must not keep its place.
  const std::shared_ptr<ClientConnection> client = HeldClient(*record, serial, true, why);
  if (!client) return;
  LineQueue(line).WakeWaiters();
  // Its receive window is full, so an orderly end would wait behind the
  // unread data for ever: the connection is reset, and the client learns at
  // once that it was dropped.
  client->Abort();
}

bool SocketLayer::TcpClientInputEnded(int line, uint64_t client) {
  TcpLine* record = FindLine(line);
  return record != nullptr && client != 0 && record->inputEnded.load() == client;
}

void SocketLayer::TcpEndClient(int line, uint64_t serial) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return;
  const std::shared_ptr<ClientConnection> client = HeldClient(*record, serial, false);
  if (client) client->HalfClose();
}

std::string SocketLayer::TcpClientName(int line) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return {};
  MutexLock lock(record->clientMutex);
  return record->client ? record->client->Name() : std::string();
}

uint64_t SocketLayer::TcpClientSerial(int line) {
  TcpLine* record = FindLine(line);
  return record == nullptr ? 0 : record->clientSerial.load();
}

int SocketLayer::TcpClientWaitHandle(int line) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return -1;
  MutexLock lock(record->clientMutex);
  return record->client ? record->client->WaitHandle() : -1;
}

}  // namespace qmx
