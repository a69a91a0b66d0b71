// The socket layer's table and the steps that set a line up and take it down:
// start-up, socket creation, disconnecting and clean-up. Listening and the
// accept thread are in tcp_listener.cc, sending in tcp_send.cc, the record
// hand-off in record_receive.cc and the datagram functions in datagram.cc.
#include "net/socket_layer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "net/net_access.h"
#include "net/socket_internal.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"

namespace qmx {

const char* TcpDefaultPortText(int line) {
  // "8001" for the control line, then upward: line L's is 8001 + L.
  static constexpr auto kPorts = [] {
    std::array<std::array<char, 6>, kMaxLineCount> texts{};
    for (int L = 0; L < kMaxLineCount; ++L) {
      int port = 8001 + L;
      for (int i = 3; i >= 0; --i, port /= 10)
        texts[L][i] = static_cast<char>('0' + port % 10);
    }
    return texts;
  }();
  return line >= 0 && line < kMaxLineCount ? kPorts[line].data() : "";
}

namespace {

// Fills the table's initial values in place (the records hold atomics and a
// mutex, so the table cannot be built elsewhere and copied in).
void FillInitialTable(std::array<TcpLine, kSocketRecords>& table) {
  for (size_t i = 0; i < table.size(); ++i) {
    TcpLine& record = table[i];
    const int index = static_cast<int>(i);
    record.lineIndex = index;
    record.control = i == 0 || i >= static_cast<size_t>(kMaxLineCount);
    if (record.control) {
      const int session = i == 0 ? 1 : index - kMaxLineCount + 2;
      std::snprintf(record.nameText, sizeof record.nameText, "ControlServer%d", session);
    } else {
      std::snprintf(record.nameText, sizeof record.nameText, "DataServer%d", index);
    }
    record.name = record.nameText;
    record.socketType = SocketType::kStream;
    CopyField(record.port, TcpDefaultPortText(record.control ? 0 : index));
    record.sendLimit = record.control ? 1000 : 2000;
    record.recvBufferSize = record.control ? 1000 : 2000;
  }
}

}  // namespace

SocketLayer::SocketLayer(Network* network, SessionLog* sessionLog)
    : network_(network), sessionLog_(sessionLog) {
  FillInitialTable(tcpLines);
  for (TcpLine& record : tcpLines) record.layer = this;
}

SocketLayer::~SocketLayer() {
  int ignored = 0;
  if (started_.load()) (void)TcpCleanup(&ignored);
}

void SocketLayer::TcpBindInput(int line, ByteQueue* queue, Event* wake) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return;
  record->inputQueue = queue;
  record->inputWake = wake;
}

void SocketLayer::SetConnectionMaker(LineSet lines, ConnectionMaker maker) {
  MutexLock lock(configMutex_);
  secureLines_ = maker ? lines : LineSet();
  maker_ = std::move(maker);
}

bool SocketLayer::SecureLine(int line) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return false;
  const int bit = record->control ? 0 : line;
  MutexLock lock(configMutex_);
  return secureLines_[static_cast<size_t>(bit)];
}

void SocketLayer::SetControlOperators(std::optional<std::vector<std::string>> names) {
  MutexLock lock(configMutex_);
  operators_ = std::move(names);
}

bool SocketLayer::IsOperator(const ClientConnection& client) {
  // Read before the lock: a connection's name takes its own session lock.
  const std::string name = client.CertifiedName();
  MutexLock lock(configMutex_);
  if (!operators_) return true;
  return !name.empty() &&
         std::find(operators_->begin(), operators_->end(), name) != operators_->end();
}

bool SocketLayer::MayOperate(int record) {
  TcpLine* line = FindLine(record);
  if (line == nullptr) return false;
  std::shared_ptr<ClientConnection> client;
  {
    MutexLock lock(line->clientMutex);
    client = line->client;
  }
  return client != nullptr && IsOperator(*client);
}

bool SocketLayer::TakeControlPlace(TcpLine& line, ClientConnection& client) {
  if (IsOperator(client)) {
    controlHeld_.fetch_add(1);
    return true;
  }
  // An observer takes a place only while another stays free after it.
  const int places = controlClients_.load();
  int held = controlHeld_.load();
  while (held < places - 1) {
    if (controlHeld_.compare_exchange_weak(held, held + 1)) return true;
  }
  const std::string reason = "the last control place is kept for an operator";
  const std::string reply = "530 " + reason + "\r\n";
  (void)client.SendNow(
      std::span(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()));
  net::LogRefused(line, client, reason);
  return false;
}

void SocketLayer::SetControlClients(int count) {
  controlClients_ = std::clamp(count, 1, kMaxControlClients);
}

void SocketLayer::StartControlSessions(TcpLine& control) {
  for (int s = 1; s < controlClients_.load(); ++s) {
    TcpLine& session = tcpLines[static_cast<size_t>(ControlSessionRecord(s))];
    if (session.acceptThread.joinable()) continue;
    session.sharedListener = control.listener.get();
    session.wakeFd = net::MakeWake();
    if (session.wakeFd < 0) {
      DebugTracef("%s TcpListen NG %d", session.name, errno);
      session.sharedListener = nullptr;
      continue;
    }
    CopyField(session.port, FieldText(control.port));
    session.listenPort = control.listenPort.load();
    session.stopRequested = false;
    session.state = LineState::kListening;
    AcceptRunning(session.lineIndex) = true;
    try {
      session.acceptThread = std::thread(&SocketLayer::TcpAcceptThread, this, &session);
    } catch (const std::system_error& failure) {
      AcceptRunning(session.lineIndex) = false;
      DebugTracef("%s TcpAccept _beginthread Error %d", session.name,
                  failure.code().value());
    }
  }
}

void SocketLayer::StopControlSessions() {
  for (int s = 1; s < kMaxControlClients; ++s) {
    TcpLine& session = tcpLines[static_cast<size_t>(ControlSessionRecord(s))];
    if (session.state < LineState::kSocket) continue;
    int ignored = 0;
    TcpDisconnect(session.lineIndex, &ignored);
    session.sharedListener = nullptr;
  }
}

int SocketLayer::TcpStartup(int* error) {
  *error = 0;
  if (started_.load()) {
    DebugTrace("TcpStartup TCP_ERROR_STATUS");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  for (TcpLine& record : tcpLines) {
    record.state = LineState::kNone;
    record.recvReadyEvent.Open();
    record.recvTakenEvent.Open();
    record.recvBuffer =
        std::make_unique<uint8_t[]>(static_cast<size_t>(record.recvBufferSize));
  }
  // POSIX sockets need no start-up call of their own.
  DebugTrace("POSIX sockets");
  started_ = 1;
  DebugTrace("TcpStartup OK");
  return 1;
}

int SocketLayer::TcpSocket(int line, int* error) {
  *error = 0;
  TcpLine* record = FindLine(line);
  if (record == nullptr || record->state != LineState::kNone) {
    DebugTracef("%s TcpSocket TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  // A line whose clients come from a Network has no socket of its own.
  if (network_ != nullptr && record->socketType == SocketType::kStream) {
    record->state = LineState::kSocket;
    DebugTracef("%s TcpSocket OK", record->name);
    return 1;
  }
  // A stream line's socket takes the family of its first listen address
  // (TcpListen opens any further ones); a datagram line is IPv4.
  const int fd = record->socketType == SocketType::kStream
                     ? net::NewServerSocket(TcpListenAddresses())
                     : ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = errno;
    DebugTracef("%s TcpSocket error %d", record->name, *error);
    return 0;
  }
  record->lineSocket = fd;
  record->state = LineState::kSocket;
  DebugTracef("%s TcpSocket OK socket %d", record->name, fd);
  return 1;
}

std::string TcpErrorText(int error) {
  switch (error) {
    case TCP_ERROR_STATUS:
      return "the line is not in a state for that step";
    case TCP_ERROR_HOST:
      return "no such host";
    case TCP_ERROR_PORT:
      return "not a TCP port";
    case TCP_ERROR_THREAD:
      return "no thread could be started";
    case TCP_ERROR_TIMEOUT:
      return "timed out";
    default:
      return error == 0 ? std::string() : std::string(std::strerror(error));
  }
}

int SocketLayer::TcpDisconnect(int line, int* error) {
  *error = 0;
  TcpLine* record = FindLine(line);
  if (record == nullptr || record->state < LineState::kSocket) {
    DebugTracef("%s TcpDisconnect TCP_ERROR_STATUS", record ? record->name : "");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  // The control line's further sessions accept on its listener: they end
  // before it goes.
  if (line == 0) StopControlSessions();
  record->state = LineState::kSocket;
  // The stop flag is set and the client looked at in one step: the accept
  // thread checks the flag under clientMutex before it stores a new client,
  // and lets its client go only under it, so either that client is seen here
  // or the thread sees the flag and drops it.
  std::shared_ptr<ClientConnection> client;
  {
    MutexLock lock(record->clientMutex);
    record->stopRequested = true;
    record->clientEnding = true;
    client = record->client;
  }
  LineQueue(record->lineIndex).WakeWaiters();
  // The accept thread's every wait also waits on the wake-up descriptor:
  // signalled, it ends the thread's wait for a client, for its client's
  // bytes or for room in the queue, and the thread ends.
  if (record->wakeFd >= 0) net::SignalWake(record->wakeFd);
  if (client) {
    // The client gets the end of the stream at once, whatever the thread is
    // doing; the thread lets the connection go as it ends.
    client->HalfClose();
    DebugTracef("%s shutdown OK ", record->name);
    client.reset();
  }
  const int listenFd = record->lineSocket;
  if (listenFd >= 0 && !record->acceptThread.joinable()) {
    // An unconnected datagram socket answers ENOTCONN, yet the shutdown has
    // woken its receiving thread, which is all it is needed for.
    if (::shutdown(listenFd, SHUT_RDWR) != 0 &&
        !(record->socketType != SocketType::kStream && errno == ENOTCONN)) {
      *error = errno;
      DebugTracef("%s shutdown NG %d", record->name, *error);
    } else {
      DebugTracef("%s shutdown OK", record->name);
    }
    for (int more : record->moreSockets) (void)::shutdown(more, SHUT_RDWR);
  }
  // The shutdowns above have woken the line's threads: joining waits for
  // them to end, and nothing needs to wait longer.
  if (record->acceptThread.joinable()) record->acceptThread.join();
  net::StopRecordThread(*record);
  // The thread has let its client go; a send of the relay's still under
  // way holds the connection until it returns.
  record->listener.reset();
  if (record->wakeFd >= 0) ::close(record->wakeFd);
  record->wakeFd = -1;

  // The descriptor is gone after close whatever it reports, so the line
  // forgets it either way; a failed close still leaves the line in state 1.
  record->lineSocket = -1;
  net::CloseMoreSockets(*record);
  if (listenFd >= 0 && ::close(listenFd) != 0) {
    *error = errno;
    DebugTracef("%s TcpDisconnect NG %d", record->name, *error);
    return 0;
  }
  record->state = LineState::kNone;
  DebugTracef("%s TcpDisconnect OK", record->name);
  return 1;
}

int SocketLayer::TcpCleanup(int* error) {
  *error = 0;
  if (!started_.load()) {
    DebugTrace("TcpCleanup TCP_ERROR_STATUS");
    *error = TCP_ERROR_STATUS;
    return 0;
  }
  for (TcpLine& record : tcpLines) {
    // Callers disconnect every line first; a line left open is disconnected
    // here so that no line's thread outlives the buffers and the table.
    if (record.state >= LineState::kSocket || record.acceptThread.joinable() ||
        record.recordThread.joinable()) {
      int ignored = 0;
      if (record.state < LineState::kSocket) record.state = LineState::kSocket;
      TcpDisconnect(record.lineIndex, &ignored);
    }
    // A TcpRecv still waiting gives up with a failed wait.
    record.recvReadyEvent.Close();
    record.recvTakenEvent.Close();
    // The record threads that use recvBuffer have all been joined above.
    record.recvBuffer.reset();
  }
  started_ = 0;
  DebugTrace("TcpCleanup OK");
  return 1;
}

bool SocketLayer::TcpLineListening(int line) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return false;
  const LineState state = record->state;
  return (state == LineState::kListening || state == LineState::kConnected) &&
         AcceptRunning(line).load();
}

int SocketLayer::TcpClientFd(int line) {
  TcpLine* record = FindLine(line);
  if (record == nullptr) return -1;
  MutexLock lock(record->clientMutex);
  return record->client ? record->client->WaitHandle() : -1;
}

}  // namespace qmx
