// Datagram lines: sending with UdpSendto, taking records with UdpRecvfrom,
// and the receiving thread of a bound datagram line.
//
// A datagram line may send and receive once TcpListen has bound it (state 2)
// or its socket is connected (state 4).
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx {
namespace {

bool DatagramStateAllows(const TcpLine* record) {
  return record != nullptr && record->state >= LineState::kBound;
}

}  // namespace

void SocketLayer::UdpRecvServerThread(TcpLine* record) {
  TcpLine& line = *record;
  DebugTracef("%s UdpRecvServerThread\n", line.name);
  // Only TcpDisconnect closes the socket, and it joins this thread first.
  const int fd = line.lineSocket;
  for (;;) {
    ssize_t n = net::SysRecvfrom(fd, line.recvBuffer.get(),
                                 static_cast<size_t>(kServerDatagramSize));
    if (n < 0) {
      line.lastError = errno;
      DebugTracef("%s recvfrom Error %d", line.name, line.lastError.load());
      return;
    }
    // The socket was shut down by TcpDisconnect: from now on it reads as
    // empty datagrams without waiting.
    if (line.stopRequested) return;
    DebugTracef("%s buffer_length = %d , bytes_received = %d", line.name,
                kServerDatagramSize, static_cast<int>(n));
  }
}

int SocketLayer::UdpSendto(int line, const ::sockaddr_in* to, const void* data, int size,
                           int* error) {
  *error = 0;
  TcpLine* record = FindLine(line);
  if (!DatagramStateAllows(record) || size < 0 || size > record->sendLimit) {
    DebugTracef("%s UdpSendto TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  const auto* buffer = static_cast<const uint8_t*>(data);
  const int fd = record->lineSocket;
  ssize_t sent = net::SysSendto(fd, buffer, static_cast<size_t>(size), to);
  if (sent >= 0 && sent < size) {
    // A datagram goes out whole or not at all; a short count is answered by
    // sending the whole datagram once more.
    sent = net::SysSendto(fd, buffer, static_cast<size_t>(size), to);
    DebugTrace("retry sendto");
  }
  if (sent < 0) {
    *error = errno;
    DebugTracef("%s UdpSendto Error %d", record->name, *error);
    return 0;
  }
  // The trace shows the record's first four bytes (zero past a shorter one).
  uint8_t head[4] = {};
  if (size > 0)
    std::memcpy(head, buffer, std::min(static_cast<size_t>(size), sizeof(head)));
  DebugTracef("%s UdpSendto ope=%02x sub=%02x lane=%d dnum=%d", record->name, head[0],
              head[1], head[2], head[3]);
  if (sent != size) {
    *error = EMSGSIZE;
    return 0;
  }
  return 1;
}

int SocketLayer::UdpRecvfrom(int line, std::span<uint8_t> data, int* length, int* error) {
  *error = 0;
  *length = 0;
  TcpLine* record = FindLine(line);
  if (!DatagramStateAllows(record)) {
    DebugTracef("%s UdpRecvfrom TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  net::RecordCopy copy;
  if (!net::TakeRecord(*record, kDatagramWaitMs, true, &copy, error)) return 0;
  const size_t size = std::min(static_cast<size_t>(copy.size), data.size());
  std::copy_n(copy.bytes.begin(), size, data.begin());
  *length = static_cast<int>(size);
  const auto& b = copy.bytes;
  DebugTracef("%s UdpRecvfrom ope=%02x sub=%02x lane=%d dnum=%d", record->name, b[0],
              b[1], b[2], b[3]);
  return 1;
}

}  // namespace qmx
