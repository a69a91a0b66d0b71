// Socket layer: a line-numbered wrapper over POSIX sockets, one record per
// line (0 the control line, 1 to 8 the data lines).
//
// Every operation takes the line number, checks the line's state, performs
// one socket step, traces a fixed text through DebugTrace, and returns 1 on
// success or 0 on failure with a code in `error`: 1000 wrong state, 1001 host,
// 1002 port, 1004 thread, 1006 time-out, else the errno of the failed call.
//
// A listening line runs one accept-and-receive thread (TcpAcceptThread): it
// accepts one client, queues everything the client sends into the line's
// queue (cmdQueue for line 0, txQueue[line-1] otherwise) with a waiting put,
// and when the client goes it accepts the next one. TcpDisconnect wakes that
// thread (shutdown of its sockets and the queue's stop flag), waits for it to
// end, and only then closes the listening socket.
//
// The client socket is shared between the accept thread, TcpOut (relay
// thread) and TcpDisconnect (relay or window thread) through a reference-
// counted handle: it is closed exactly once, when its last user lets go, so a
// descriptor number is never closed or used after it may have been reused.
//
// Threads: TcpOut runs on the relay thread only. TcpSocket, TcpListen and
// TcpDisconnect run on the relay or window thread with engineLock held (see
// engine/line_table.h), which also guards each record's `port` text. state,
// lastError and the socket numbers are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

struct sockaddr_in;

namespace qmx {

inline constexpr int TCP_ERROR_STATUS = 1000;
inline constexpr int TCP_ERROR_HOST = 1001;
inline constexpr int TCP_ERROR_PORT = 1002;
inline constexpr int TCP_ERROR_THREAD = 1004;
inline constexpr int TCP_ERROR_TIMEOUT = 1006;

// How long TcpOut keeps trying while a client accepts nothing before it gives
// up and disconnects that client.
inline constexpr int kSendStallLimitMs = 20000;

// A connected socket that closes itself when its last user lets go.
class SocketHandle {
 public:
  explicit SocketHandle(int fd) : fd_(fd) {}
  ~SocketHandle();
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

struct TcpLine {
  int lineIndex = 0;
  const char* name = "";
  int socketType = 1;  // 1 stream, 2 datagram
  int isClient = 0;
  char host[32] = {};
  char port[32] = {};
  int sendBufferSize = 0;
  int recvBufferSize = 0;
  std::atomic<int> state{0};
  std::atomic<int> lineSocket{-1};  // listening (server) or connected (client)
  std::atomic<int> lastError{0};
  std::unique_ptr<uint8_t[]> sendBuffer;
  std::atomic<int> recvPending{0};
  std::atomic<int> recvLength{0};
  std::unique_ptr<uint8_t[]> recvBuffer;
  std::atomic<int> sentFlag{0};

  // The accepted client. Guarded by clientMutex; held only to copy or reset
  // the pointer, never across a blocking call.
  std::mutex clientMutex;
  std::shared_ptr<SocketHandle> clientSocket;

  std::thread acceptThread;               // the line's accept-and-receive thread
  std::atomic<bool> stopRequested{false};  // set by TcpDisconnect
};

extern std::array<TcpLine, 9> tcpLines;

int TcpStartup(int* error);
int TcpSocket(int line, int* error);
int TcpMakeAddress(TcpLine& record, ::sockaddr_in* address, int* error);
int TcpConnect(int line, int* error);
int TcpListen(int line, int* error);
int TcpDisconnect(int line, int* error);
int TcpOut(int line, const void* data, int size, int* error);
int TcpCleanup(int* error);

// True while the line has a listener (state listening or connected).
bool TcpLineListening(int line);

// The client's descriptor number, or -1; for tests and status only.
int TcpClientFd(int line);

// The line's accept-and-receive loop, run on TcpLine::acceptThread by
// TcpListen. Returns once TcpDisconnect has shut the listening socket down
// (or the socket became unusable); until then it serves one client after
// another.
void TcpAcceptThread(TcpLine* record);

// Replaces kSendStallLimitMs for TcpOut, so tests need not wait 20 s for a
// stalled client; 0 or less restores the default.
void SetSendStallLimitForTest(int milliseconds);

}  // namespace qmx
