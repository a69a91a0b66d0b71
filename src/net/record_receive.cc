// Record receive: a connected line's receiving thread collects fixed-size
// records in recvBuffer and hands each one over to TcpRecv (or UdpRecvfrom,
// datagram.cc) through the line's two auto-reset events.
//
// recvBuffer has one writer at a time: the thread writes it only between
// being released (recvTakenEvent) and announcing the next record
// (recvReadyEvent), and the caller copies the record out between the two.
// The events' own lock orders the buffer's bytes between the threads.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx {
namespace {

using std::chrono::milliseconds;

// The hand-off wait has no time limit; Event waits take one, so the thread
// waits in long slices. TcpDisconnect wakes it at once through the event.
constexpr auto kHandOffWaitSlice = std::chrono::hours(1);

// Fills recvBuffer with one record from a stream. false when the thread
// must end: a socket error, or the peer closed (which a further recv would
// only report again at once, so the thread ends rather than spin).
bool ReceiveStreamRecord(TcpLine& line, int fd) {
  uint8_t* buffer = line.recvBuffer.get();
  int received = 0;
  while (received < kRecordSize) {
    ssize_t n =
        net::SysRecv(fd, buffer + received, static_cast<size_t>(kRecordSize - received));
    if (n < 0) {
      line.lastError = errno;
      DebugTracef("%s recv Error %d", line.name, line.lastError.load());
      return false;
    }
    if (n == 0) {
      DebugTracef("%s recv Connection broken ", line.name);
      return false;
    }
    received += static_cast<int>(n);
  }
  return true;
}

// Fills recvBuffer with one record from as many datagrams as it takes; a
// datagram longer than the room left is cut. false when the thread must end.
bool ReceiveDatagramRecord(TcpLine& line, int fd) {
  uint8_t* buffer = line.recvBuffer.get();
  int received = 0;
  while (received < kRecordSize) {
    ssize_t n = net::SysRecvfrom(fd, buffer + received,
                                 static_cast<size_t>(kRecordSize - received));
    if (n < 0) {
      line.lastError = errno;
      DebugTracef("%s recvfrom Error %d", line.name, line.lastError.load());
      return false;
    }
    // A datagram socket that was shut down reads as empty datagrams for
    // ever; an empty datagram from the peer adds nothing.
    if (line.stopRequested) return false;
    received += static_cast<int>(n);
  }
  return true;
}

// Waits until the caller has taken the record. false when the line is being
// disconnected. A failed wait (the events were closed) is traced and the
// thread goes on with the next record.
bool WaitUntilTaken(TcpLine& line) {
  for (;;) {
    if (line.stopRequested) return false;
    switch (line.recvTakenEvent.Wait(kHandOffWaitSlice)) {
      case Event::WaitResult::kSignaled:
        return !line.stopRequested;
      case Event::WaitResult::kFailed:
        DebugTracef("%s recv WaitForSingleObjects Error", line.name);
        return !line.stopRequested;
      case Event::WaitResult::kTimeout:
        break;
    }
  }
}

void RunHandOff(TcpLine& line, bool (*receive)(TcpLine&, int)) {
  // Only TcpDisconnect closes the socket, and it joins this thread first.
  const int fd = line.lineSocket;
  do {
    DebugTracef("%s recv  %d", line.name, kRecordSize);
    if (!receive(line, fd)) return;
    line.recvLength = kRecordSize;
    line.recvPending = 0;
    line.recvReadyEvent.Set();
  } while (WaitUntilTaken(line));
}

}  // namespace

void SocketLayer::TcpRecvThread(TcpLine* record) {
  DebugTracef("%s TcpRecvThread", record->name);
  RunHandOff(*record, ReceiveStreamRecord);
}

void SocketLayer::UdpRecvcliThread(TcpLine* record) {
  DebugTracef("%s UdpRecvcliThread", record->name);
  RunHandOff(*record, ReceiveDatagramRecord);
}

namespace net {

int StartRecordThread(TcpLine& record, void (SocketLayer::*procedure)(TcpLine*)) {
  // A line has at most one receiving thread; TcpDisconnect joins it before
  // the line can be started again.
  if (record.recordThread.joinable()) return EBUSY;
  // The threads receive into recvBuffer, which exists from TcpStartup on.
  if (!record.recvBuffer) return EINVAL;
  record.stopRequested = false;
  try {
    record.recordThread = std::thread(procedure, record.layer, &record);
  } catch (const std::system_error& failure) {
    return failure.code().value();
  }
  return 0;
}

void StopRecordThread(TcpLine& record) {
  record.recvTakenEvent.Set();
  if (record.recordThread.joinable()) record.recordThread.join();
  // A record nobody took, or a release nobody waited for, must not reach the
  // line's next connection.
  (void)record.recvReadyEvent.Wait(milliseconds(0));
  (void)record.recvTakenEvent.Wait(milliseconds(0));
}

int TakeRecord(TcpLine& record, int waitMs, bool datagram, RecordCopy* copy, int* error) {
  switch (record.recvReadyEvent.Wait(milliseconds(waitMs))) {
    case Event::WaitResult::kFailed:
      // Only TcpCleanup closes the events: the layer has stopped.
      DebugTracef("%s TcpRecv WAIT_FALED", record.name);
      if (datagram) record.recvTakenEvent.Set();
      *error = TCP_ERROR_STATUS;
      return 0;
    case Event::WaitResult::kTimeout:
      DebugTracef("%s TcpRecv WAIT_TIMEOUT", record.name);
      *error = TCP_ERROR_TIMEOUT;
      return 0;
    case Event::WaitResult::kSignaled:
      break;
  }
  copy->size =
      std::clamp(record.recvLength.load(), 0, static_cast<int>(copy->bytes.size()));
  std::memcpy(copy->bytes.data(), record.recvBuffer.get(),
              static_cast<size_t>(copy->size));
  record.recvPending = 0;
  // Only now may the thread receive the next record into recvBuffer.
  record.recvTakenEvent.Set();
  return 1;
}

}  // namespace net

void SocketLayer::SetRecordWaitForTest(int milliseconds) {
  recordWaitMs_ = milliseconds > 0 ? milliseconds : kRecordWaitMs;
}

int SocketLayer::TcpRecv(int line, std::span<uint8_t> data, int* length, int* error) {
  *error = 0;
  *length = 0;
  TcpLine* record = FindLine(line);
  if (record == nullptr || record->state != LineState::kConnected) {
    DebugTracef("%s TcpRecv TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  net::RecordCopy copy;
  if (!net::TakeRecord(*record, recordWaitMs_, false, &copy, error)) return 0;
  const size_t size = std::min(static_cast<size_t>(copy.size), data.size());
  std::copy_n(copy.bytes.begin(), size, data.begin());
  *length = static_cast<int>(size);

  // The bytes from offset 4 on are text, up to a NUL or the record's end.
  const auto& b = copy.bytes;
  const int textLength =
      static_cast<int>(::strnlen(reinterpret_cast<const char*>(b.data() + 4),
                                 static_cast<size_t>(std::max(copy.size - 4, 0))));
  DebugTracef("%s Tcprecv ope=%02x sub=%02x lane=%d dnum=%d text=%.*s", record->name,
              b[0], b[1], b[2], b[3], textLength,
              reinterpret_cast<const char*>(b.data() + 4));
  return 1;
}

int SocketLayer::TcpRecvLen(int line, int* error) {
  *error = 0;
  TcpLine* record = FindLine(line);
  if (record == nullptr || record->state != LineState::kConnected) {
    DebugTracef("%s TcpRecvLen TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return -1;
  }
  if (record->recvPending.exchange(0) == 0) return 0;
  // Reported once: why the pending receive has no record (yet).
  const int code = record->lastError;
  *error = code != 0 ? code : TCP_ERROR_TIMEOUT;
  return -1;
}

}  // namespace qmx
