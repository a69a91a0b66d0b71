// Making a line reachable: TcpListen binds and listens, and the line's
// accept-and-receive thread serves one client after another, queueing what
// each sends for the relay thread. A datagram line is only bound; its
// receiving thread is UdpRecvServerThread (datagram.cc).
//
// The thread is the only one that stores a client into the record; it checks
// stopRequested under clientMutex before it does, which is what lets
// TcpDisconnect find every client it must shut down (socket_layer.cc).
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <span>
#include <system_error>
#include <thread>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

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
    case ECONNABORTED: case EPROTO: case EINTR: case ENETDOWN: case ENETUNREACH:
    case ENOPROTOOPT: case EHOSTDOWN: case EHOSTUNREACH: case ENONET: case EOPNOTSUPP:
    case EPERM: case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Receives from the client until it goes, or until the line is being
// disconnected, queueing every byte unchanged and in order. The put waits
// for room rather than drop bytes; the client is slowed down by TCP's own
// flow control meanwhile.
void ServeClient(TcpLine& line, ByteQueue& queue, int fd) {
  Event* wake = line.inputWake.load();
  uint8_t buffer[net::kRecvChunk];
  for (;;) {
    ssize_t n = net::SysRecv(fd, buffer, sizeof(buffer));
    if (n < 0) {
      line.lastError = errno;
      DebugTracef("%s recv Error %d", line.name, line.lastError.load());
      return;
    }
    if (n == 0) {
      DebugTracef("%s recv Connection broken ", line.name);
      return;
    }
    const auto bytes = std::span<const uint8_t>(buffer, static_cast<size_t>(n));
    const size_t fitted = queue.PutSome(bytes);
    if (fitted < bytes.size()) {
      // The queue is full: wake the relay thread for what it holds before
      // waiting for room, or both would wait for each other.
      if (wake != nullptr) wake->Set();
      queue.PutWait(bytes.subspan(fitted), line.clientEnding);
    }
    DebugTracef("nBytesReceived = %d", static_cast<int>(n));
    if (wake != nullptr) wake->Set();
    // TcpDisconnect has shut the client down and may free the queue as soon
    // as this thread has ended: nothing more is queued.
    if (line.stopRequested || line.clientEnding) return;
  }
}

}  // namespace

int TcpListen(int line, int* error) {
  *error = 0;
  TcpLine* record = net::FindLine(line);
  if (record == nullptr || record->state != 1) {
    DebugTracef("%s TcpListen TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  ::sockaddr_in address{};
  if (!TcpMakeAddress(*record, &address, error)) return 0;
  const int fd = record->lineSocket;
  if (record->socketType == 1) {
    // A restarted server binds its port at once, without waiting for the
    // previous connections' TIME_WAIT to pass.
    int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  if (::bind(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address)) != 0) {
    *error = errno;
    DebugTracef("%s Tcpbind NG %d", record->name, *error);
    return 0;
  }

  if (record->socketType != 1) {
    // A datagram line is ready once bound; its thread receives on the
    // socket. If the thread does not start the line stays in state 1.
    const int failure = net::StartRecordThread(*record, UdpRecvServerThread);
    if (failure != 0) {
      DebugTracef("%s TcpListen _beginthread Error %d", record->name, failure);
      *error = TCP_ERROR_THREAD;
      return 0;
    }
    udpServerThread = record->recordThread.get_id();
    record->state = 2;
    DebugTracef("%s UdpBind OK", record->name);
    return 1;
  }

  if (::listen(fd, net::kListenBacklog) != 0) {
    *error = errno;
    DebugTracef("%s Tcplisten NG %d", record->name, *error);
    return 0;
  }
  record->state = 3;
  DebugTracef("%s TcpListen OK", record->name);

  record->stopRequested = false;
  net::AcceptRunning(line) = true;
  try {
    record->acceptThread = std::thread(TcpAcceptThread, record);
  } catch (const std::system_error& failure) {
    // The line stays in state 3 and nothing accepts on its socket until it
    // is disconnected.
    net::AcceptRunning(line) = false;
    DebugTracef("%s TcpAccept _beginthread Error %d", record->name, failure.code().value());
    *error = TCP_ERROR_THREAD;
    return 0;
  }
  return 1;
}

void TcpAcceptThread(TcpLine* record) {
  TcpLine& line = *record;
  ByteQueue& queue = net::LineQueue(line.lineIndex);
  Event* wake = line.inputWake.load();
  for (;;) {
    DebugTracef("%s TcpAcceptThread", line.name);
    const int listenFd = tcpLines[static_cast<size_t>(line.lineIndex)].lineSocket;
    const int fd = net::SysAccept(listenFd);
    if (fd < 0) {
      const int code = errno;
      line.lastError = code;
      DebugTracef("%s accept Error %d", line.name, code);
      if (line.stopRequested || AcceptErrorIsFinal(code)) break;
      if (!AcceptErrorIsPerConnection(code)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(net::kAcceptRetryPauseMs));
      }
      continue;
    }

    auto client = std::make_shared<SocketHandle>(fd);
    {
      std::lock_guard lock(line.clientMutex);
      // A disconnect under way has already looked for a client; this one is
      // dropped unserved and the next accept fails on the shut-down socket.
      if (line.stopRequested) continue;
      line.clientSocket = client;
      line.clientEnding = false;
      line.clientSerial.fetch_add(1);
      line.state = 4;
    }
    net::SetNoDelay(fd);
    DebugTracef("%s accepted something", line.name);
    if (line.lineIndex == 0) {
      // The connect marker makes the relay thread greet the new client.
      const uint8_t marker = 0xFF;
      queue.PutWait(std::span<const uint8_t>(&marker, 1), line.clientEnding);
    }
    if (wake != nullptr) wake->Set();

    ServeClient(line, queue, fd);

    // The line stays in state 4 without a client until the next one comes.
    // The socket closes when the last user (this thread or a TcpOut in
    // progress) lets go of it.
    //
    // What a departed control client sent and the relay has not run yet is
    // dropped, and the serial changes, so the relay drops the rest of that
    // client's unfinished line and its replies too: nothing of one client
    // reaches the next. The queue is emptied before the serial changes, so
    // bytes the relay takes after it sees the new serial are never the old
    // client's.
    {
      std::lock_guard lock(line.clientMutex);
      line.clientSocket.reset();
      if (line.lineIndex == 0) {
        queue.Reset();
        line.clientSerial.fetch_add(1);
      }
    }
    if (line.lineIndex == 0 && wake != nullptr) wake->Set();
  }
  net::AcceptRunning(line.lineIndex) = false;
}

}  // namespace qmx
