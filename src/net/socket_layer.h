// Socket layer: a line-numbered wrapper over POSIX sockets, one record per
// line (0 the control line, 1 to 8 the data lines), one SocketLayer object
// per server.
//
// Every operation takes the line number, checks the line's state, performs
// one socket step, traces a fixed text through DebugTrace, and returns 1 on
// success or 0 on failure with a code in `error`: 1000 wrong state, 1001 host,
// 1002 port, 1004 thread, 1006 time-out, else the errno of the failed call.
//
// A listening stream line has one listening socket per listen address
// (net_access.h): lineSocket for the first, moreSockets for the rest; by
// default one dual-stack socket that takes IPv4 and IPv6 peers alike. It runs
// one accept-and-receive thread (TcpAcceptThread): it waits on all of the
// line's listening sockets, accepts one client, turns it away at once when
// its address is outside the line's allow-list, else sets keep-alive on it,
// queues everything the client sends into the line's queue bound to the line
// (TcpBindInput) with a waiting put, and when the client goes it accepts the
// next one. TcpDisconnect wakes that thread (shutdown of its sockets and the
// queue's stop flag), waits for it to end, and only then closes each
// listening socket, once.
//
// Port texts follow ParsePortText (net_access.h): a number 1 to 65535 or a
// service name; any other text fails with 1002.
//
// The client socket is shared between the accept thread, the relay's sends
// (TcpSendNow, TcpSendNowTo) and TcpDisconnect (relay or window thread)
// through a reference-counted handle: it is closed exactly once, when its
// last user lets go, so a descriptor number is never closed or used after it
// may have been reused.
//
// Threads: the sends run for the relay only, on its thread or a receive
// thread's shortcut under the relay's turn (relay/line_output.h), one at a
// time per line. TcpSocket, TcpListen and TcpDisconnect run on the relay or
// window thread with engineLock held (see engine/line_table.h), which also
// guards each record's `port` text. state, lastError and the socket numbers
// are atomics.
//
// Record receive and datagrams (not used by the server itself, kept for a
// line type that needs them). A line receives in records on a receiving
// thread of its own, owned by TcpLine::recordThread:
//   - TcpListen on a datagram line binds it to its port on the first IPv4
//     listen address (the any-address when none are set) and starts
//     UdpRecvServerThread, which only traces the datagrams (up to 24 bytes)
//     it receives;
//   - a line whose socket is connected (state 4, not a listening line)
//     receives through TcpRecvThread (a stream, 20-byte records) or
//     UdpRecvcliThread (20-byte records taken from one or more datagrams),
//     started with net::StartRecordThread (socket_internal.h).
// Those two hand each record to TcpRecv or UdpRecvfrom through the line's
// auto-reset events: the thread fills recvBuffer and signals recvReadyEvent,
// then waits on recvTakenEvent; the caller copies the record out and only
// then signals recvTakenEvent, so recvBuffer is never overwritten while it is
// copied. A stream peer that closes ends the thread (no retry, no spinning);
// TcpRecv then times out until the line is disconnected.
// TcpDisconnect ends the thread whatever it waits for (shutdown of the
// socket wakes a receive, stopRequested and recvTakenEvent a hand-off) and
// joins it before the socket is closed, so no thread outlives its line or
// TcpCleanup. The events are open from TcpStartup to TcpCleanup; a wait on
// them after TcpCleanup fails.
//
// TcpRecvLen: no step of the layer sets recvPending. A program that sets it
// to mark a receive it is waiting for gets it reported once: the result is
// -1 with error the line's lastError (its receiving thread hit a socket
// error) or TCP_ERROR_TIMEOUT (no record yet), and the flag is cleared.
//
// TcpRecv, TcpRecvLen, UdpRecvfrom and UdpSendto may run on any thread, but
// not while their line is disconnected or the layer cleaned up.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "net/client_connection.h"
#include "net/net_access.h"
#include "net/network.h"
#include "platform/byte_queue.h"
#include "platform/event.h"
#include "platform/line_counts.h"
#include "platform/mutex.h"

struct sockaddr_in;

namespace qmx {

inline constexpr int TCP_ERROR_STATUS = 1000;
inline constexpr int TCP_ERROR_HOST = 1001;
inline constexpr int TCP_ERROR_PORT = 1002;
inline constexpr int TCP_ERROR_THREAD = 1004;
inline constexpr int TCP_ERROR_TIMEOUT = 1006;

// How long the relay keeps bytes for a client that accepts nothing before it
// drops that client (relay/line_output.h).
inline constexpr int kSendStallLimitMs = 20000;

// Record sizes: what TcpRecvThread and UdpRecvcliThread hand over, and what
// UdpRecvServerThread reads from one datagram.
inline constexpr int kRecordSize = 20;
inline constexpr int kServerDatagramSize = 24;
// How long TcpRecv and UdpRecvfrom wait for a record.
inline constexpr int kRecordWaitMs = 60000;
inline constexpr int kDatagramWaitMs = 1000;

enum class SocketType { kStream = 1, kDatagram = 2 };

// A line's progress: a socket exists (kSocket), a datagram line is bound
// (kBound), a stream line listens (kListening), or it has a connection or
// serves clients (kConnected). Steps compare states by their order.
enum class LineState {
  kNone = 0,
  kSocket = 1,
  kBound = 2,
  kListening = 3,
  kConnected = 4
};

class SocketLayer;
class SessionLog;

// Why the server let a client go before the client itself ended.
enum class DropReason {
  kNone = 0,
  kStalled,    // it took nothing for the stall limit, or its copy fell behind
  kKeepalive,  // keep-alive probes went unanswered
  kIdle,       // it was idle for too long
  kOperator,   // an operator's `drop` ended its session (not counted)
};

// What a line has done since the server started: relaxed atomics, added to
// once per chunk or event by the thread that moves the bytes or sees it.
struct LineTally {
  std::atomic<uint64_t> bytesFromClients{0};
  std::atomic<uint64_t> bytesToClients{0};
  std::atomic<uint64_t> accepted{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> dropsStalled{0};
  std::atomic<uint64_t> dropsKeepalive{0};
  std::atomic<uint64_t> dropsIdle{0};
};

struct TcpLine {
  SocketLayer* layer = nullptr;  // the layer the record belongs to
  int lineIndex = 0;
  // A session of the control line: line 0 itself, or one of its further
  // sessions (records kMaxLineCount and up), which take their clients from line
  // 0's listener.
  bool control = false;
  const char* name = nameText;
  char nameText[20] = {};  // "DataServer12", "ControlServer3"
  SocketType socketType = SocketType::kStream;
  char port[32] = {};
  int sendLimit = 0;  // the largest datagram UdpSendto sends on the line
  int recvBufferSize = 0;
  std::atomic<LineState> state{LineState::kNone};
  std::atomic<int> lineSocket{-1};  // listening, bound or connected
  std::atomic<int> lastError{0};
  std::atomic<int> recvPending{0};
  std::atomic<int> recvLength{0};
  std::unique_ptr<uint8_t[]> recvBuffer;

  // The accepted client: the accept thread receives from it, the relay
  // sends to it (each direction has one thread). clientMutex is held only to
  // copy or reset the pointer, never across a blocking call, and nothing
  // else is taken under it. A queue's consumer sends under the queue's lock,
  // so it comes after that (the whole order is in platform/mutex.h). The
  // connection closes when its last user lets go of it.
  Mutex clientMutex ACQUIRED_AFTER(ByteQueue::mutex);
  std::shared_ptr<ClientConnection> client GUARDED_BY(clientMutex);
  std::atomic<uint64_t> clientSerial{0};  // counts the clients accepted
  // Why the present client is being let go (set with clientEnding by a drop).
  std::atomic<DropReason> dropReason{DropReason::kNone};
  LineTally tally;
  // The clientSerial of the last client whose input ended (a half-close or
  // close) with every byte it sent queued; 0 for none. Kept on the control
  // line only.
  std::atomic<uint64_t> inputEnded{0};

  // Where the line's clients' bytes go, and whom to wake when they came; set
  // by TcpBindInput before the line listens. Unbound, the bytes are dropped.
  std::atomic<ByteQueue*> inputQueue{nullptr};
  std::atomic<Event*> inputWake{nullptr};

  // The listening sockets beyond lineSocket, one per further listen
  // address, and the port all of them listen on (host order). Written by
  // TcpListen and TcpDisconnect (engineLock held) only while the line has no
  // accept thread; that thread reads them.
  std::vector<int> moreSockets;
  std::atomic<int> listenPort{0};
  // Where the line's clients come from while it listens (its listening
  // sockets, or a Network's listener), and the eventfd that ends the accept
  // thread's waits; both made by TcpListen and dropped by TcpDisconnect
  // while the line has no accept thread.
  std::unique_ptr<Listener> listener;
  // A further control session's: line 0's listener, which outlives the
  // session's accept thread (TcpDisconnect of line 0 ends the sessions
  // first).
  Listener* sharedListener = nullptr;
  int wakeFd = -1;

  std::thread acceptThread;                // the line's accept-and-receive thread
  std::atomic<bool> stopRequested{false};  // set by TcpDisconnect
  // Set by TcpDisconnect and TcpDropClient: the accept thread stops serving
  // its current client, even while it waits for room in the line's queue.
  std::atomic<bool> clientEnding{false};

  // Record hand-off between the line's receiving thread and TcpRecv or
  // UdpRecvfrom; auto-reset, open from TcpStartup to TcpCleanup.
  Event recvReadyEvent;
  Event recvTakenEvent;
  // TcpRecvThread, UdpRecvcliThread or UdpRecvServerThread; joined by
  // TcpDisconnect.
  std::thread recordThread;
};

// The TCP port line `line` (0 = control) listens on until the settings say
// otherwise: "8001" to "8009".
const char* TcpDefaultPortText(int line);

// What an error code of this layer means, for a log entry: the system's text
// for an errno value, a short phrase for TCP_ERROR_*.
std::string TcpErrorText(int error);

// The sockets of one server: a record per line, the network configuration
// (listen addresses, allow-lists, the refusal listener) and the threads that
// serve the lines. Every function below takes a line number; the layer's
// destructor disconnects every line and ends every thread.
class SocketLayer {
 public:
  // Clients come from `network` when given (a test's fake, which the caller
  // keeps for the layer's life), else from the layer's own listening
  // sockets. Each client's connect and disconnect is written to `sessionLog`
  // when given (kept by the caller for the layer's life).
  explicit SocketLayer(Network* network = nullptr, SessionLog* sessionLog = nullptr);
  ~SocketLayer();
  SocketLayer(const SocketLayer&) = delete;
  SocketLayer& operator=(const SocketLayer&) = delete;

  // Names the queue that line `line`'s clients feed and the event set after
  // each put; the owner of the line table binds every line once, and each
  // control session (ControlSessionRecord) too.
  void TcpBindInput(int line, ByteQueue* queue, Event* wake);

  // Lines whose clients' connections come from `maker` instead of plain TCP
  // (an encrypted connection): bit 0 the control line, bit L data line L.
  // Takes effect at each line's next TcpListen.
  void SetConnectionMaker(LineSet lines, ConnectionMaker maker);
  // True when line `line` gets its connections from the maker.
  bool SecureLine(int line);

  // How long a client may take to settle its connection (a TLS handshake)
  // before it is closed; it takes the line's place only once settled.
  static constexpr int kHandshakeLimitMs = 5000;

  // How many clients the control line serves at once (1 to
  // kMaxControlClients; 1, the default, serves one and keeps the rest
  // waiting). Takes effect at the control line's next TcpListen.
  void SetControlClients(int count);
  int ControlClients() const { return controlClients_.load(); }
  // A control client that completes no command for this many seconds is
  // closed by the relay; 0 (the default) for no limit.
  void SetControlIdleSeconds(int seconds) {
    controlIdleSeconds_ = seconds > 0 ? seconds : 0;
  }
  int ControlIdleSeconds() const {
    return controlIdleSeconds_.load(std::memory_order_relaxed);
  }

  // Operators and observers on the control line. With a list set, only a
  // client whose verified certificate names one of `names` is an operator;
  // every other client is an observer, and one control place is kept for an
  // operator (an observer is refused when it would take the last free one).
  // Without a list (the default, or nullopt) every client is an operator.
  // Takes effect at the next command and the next connect.
  void SetControlOperators(std::optional<std::vector<std::string>> names);
  // True when control session record `record`'s client may change things.
  bool MayOperate(int record);

  int TcpStartup(int* error);
  int TcpSocket(int line, int* error);
  int TcpListen(int line, int* error);
  int TcpDisconnect(int line, int* error);
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

  // Replaces kSendStallLimitMs for the relay, so tests need not wait 20 s for a
  // stalled client; 0 or less restores the default.
  void SetSendStallLimitForTest(int milliseconds);
  int SendStallLimitMs();

  // Sends on a server line's client what its socket takes now, without
  // waiting. Returns the number of bytes sent (0 when the client takes nothing
  // at the moment), or -1 with `error` set when the line has no client or the
  // send failed. The relay thread uses it for data lines, so that one client
  // that stops reading holds up only the lines of its own serial port.
  int TcpSendNow(int line, const void* data, int size, int* error);

  // TcpSendNow, but only to client number `client` (a TcpClientSerial value):
  // -1 with `error` TCP_ERROR_STATUS when another client, or none, holds the
  // line now. The check and the choice of socket are one step, so bytes meant
  // for one client never reach the next.
  int TcpSendNowTo(int line, uint64_t client, const void* data, int size, int* error);

  // Drops client `client` (a TcpClientSerial value) of the line, which has
  // stopped reading, when it still holds the line: the connection is reset, its
  // accept thread ends it and accepts the next one. The line counts the drop
  // under `why` the first time the client is dropped.
  void TcpDropClient(int line, uint64_t client, DropReason why = DropReason::kStalled);

  // True when client `client` (a TcpClientSerial value) of the control line
  // has ended its input and every byte it sent is in the line's queue: once the
  // relay has taken the queue empty after seeing this, it has all of it.
  bool TcpClientInputEnded(int line, uint64_t client);

  // Ends client `client` gracefully once everything it is due has been handed
  // to its socket: the connection is shut down for sending (the bytes already
  // sent still arrive, then the end), and its accept thread lets it go. Does
  // nothing when another client, or none, holds the line.
  void TcpEndClient(int line, uint64_t client);

  // How the logs name the line's present client ("192.0.2.9"); "" without one.
  std::string TcpClientName(int line);

  // Changes whenever the line accepts a new client, and on the control line
  // also when its client leaves.
  uint64_t TcpClientSerial(int line);
  // The descriptor of the line's present client, for the relay thread to wait
  // on for room after TcpSendNow took less than it was given; -1 without a
  // client. Only for poll: the client may go (and the number be reused)
  // meanwhile, which costs a spurious wake-up at worst.
  int TcpClientWaitHandle(int line);

  // Receiving threads of the record and datagram functions (see above). Each
  // runs on its line's recordThread until the socket fails or closes, or the
  // line is disconnected.
  void TcpRecvThread(TcpLine* record);
  void UdpRecvcliThread(TcpLine* record);
  void UdpRecvServerThread(TcpLine* record);

  // Takes the next record of a connected line (state 4), waiting up to
  // kRecordWaitMs: 1 with the record in `data` and its size in *length; 0 on a
  // state error (1000), a time-out (1006) or after TcpCleanup (1000). A record
  // longer than `data` is cut to it.
  int TcpRecv(int line, std::span<uint8_t> data, int* length, int* error);

  // -1 with 1000 unless the line is connected; 0 when no receive is pending;
  // for a pending one see the comment at the top.
  int TcpRecvLen(int line, int* error);

  // Sends `size` bytes (at most the line's sendLimit) as one datagram to `to`.
  // The line needs state 2 or more (bound or connected), else 1000.
  int UdpSendto(int line, const ::sockaddr_in* to, const void* data, int size,
                int* error);

  // TcpRecv for a datagram line, waiting up to kDatagramWaitMs, with
  // UdpSendto's state rule. Only a connected datagram line (UdpRecvcliThread)
  // hands records over; a bound line's datagrams are traced, not passed on.
  int UdpRecvfrom(int line, std::span<uint8_t> data, int* length, int* error);

  // Replaces kRecordWaitMs for TcpRecv, so tests need not wait a minute for a
  // time-out; 0 or less restores the default.
  void SetRecordWaitForTest(int milliseconds);

  // Listen addresses for every stream line from its next TcpListen on. Empty
  // (the default): all IPv4 and all IPv6 addresses through one dual-stack
  // socket per line, or all IPv4 addresses alone where the host has no IPv6.
  void TcpSetListenAddresses(std::vector<IpAddress> addresses);
  std::vector<IpAddress> TcpListenAddresses();

  // Who may connect. An empty `allow` admits everyone. `controlAllow`, when
  // `controlAllowGiven`, replaces `allow` for the control line (line 0).
  void TcpSetAllowLists(std::vector<IpNet> allow, std::vector<IpNet> controlAllow,
                        bool controlAllowGiven);

  // True when a client at `peer` may use `line`.
  bool TcpPeerAllowed(int line, const IpAddress& peer);

  // Receives the text of each reported refusal; an empty function reports
  // nothing. A summary of refusals still pending (not yet due) is first handed
  // to the listener being replaced, so a program that clears its listener at
  // the end of a run loses no count; that call runs on the caller's thread, so
  // call this with no lock held that the outgoing listener takes.
  void TcpSetRefusalListener(std::function<void(const std::string&)> listener);

  // Binds a throw-away socket on port 0 to each configured listen address, so
  // that an address this host does not have is found before anything is
  // served. Returns true, or false with "192.0.2.77: Cannot assign requested
  // address" in *failure.
  bool TcpCheckListenAddresses(std::string* failure);

  // The record of `line`, or nullptr when the number is not a line.
  TcpLine* FindLine(int line);
  // The queue that a line's client feeds (TcpBindInput); one without storage,
  // which takes nothing, for a line nobody bound.
  ByteQueue& LineQueue(int line);
  // True from TcpListen starting the line's accept thread until the thread
  // has left its loop.
  std::atomic<bool>& AcceptRunning(int line) {
    return acceptRunning_[static_cast<size_t>(line)];
  }
  // Tells the refusal listener, rate-limited, that `peer` was turned away from
  // the line listening on `port`. Takes no lock of the caller's.
  void ReportRefusal(int port, const IpAddress& peer);

  // The session log the layer writes connects and disconnects to; null for
  // none.
  SessionLog* sessionLog() const { return sessionLog_; }

  // Every line's record, then the control line's further sessions'.
  std::array<TcpLine, kSocketRecords> tcpLines;

 private:
  // Starts the accept threads of control sessions 1 to ControlClients() - 1
  // on line 0's listener, once line 0 listens; a session that cannot start
  // is traced and left out.
  void StartControlSessions(TcpLine& control);
  void StopControlSessions();
  // Takes a control place for `client` on `line`: false, with the refusal
  // logged and counted, when an observer would take the last free one.
  // Every place taken is given back with LeaveControlPlace.
  bool TakeControlPlace(TcpLine& line, ClientConnection& client);
  void LeaveControlPlace() { controlHeld_.fetch_sub(1); }
  bool IsOperator(const ClientConnection& client);
  std::atomic<int> controlClients_{1};
  std::atomic<int> controlIdleSeconds_{0};
  std::atomic<int> controlHeld_{0};  // control sessions with a client
  Network* const network_;
  SessionLog* const sessionLog_;
  std::atomic<int> started_{0};
  std::array<std::atomic<bool>, kSocketRecords> acceptRunning_{};
  ByteQueue unbound_;
  std::atomic<int> sendStallLimitMs_{kSendStallLimitMs};
  std::atomic<int> recordWaitMs_{kRecordWaitMs};

  // The network configuration. Never held while the refusal listener runs;
  // nothing else is taken under it.
  Mutex configMutex_;
  std::vector<IpAddress> listenAddresses_ GUARDED_BY(configMutex_);
  std::vector<IpNet> allowNets_ GUARDED_BY(configMutex_);
  std::vector<IpNet> controlAllowNets_ GUARDED_BY(configMutex_);
  bool controlAllowSet_ GUARDED_BY(configMutex_) = false;
  LineSet secureLines_ GUARDED_BY(configMutex_);
  ConnectionMaker maker_ GUARDED_BY(configMutex_);
  std::optional<std::vector<std::string>> operators_ GUARDED_BY(configMutex_);

  // The refusal listener and the limiter. The listener is copied out and
  // called with no lock held.
  Mutex refusalMutex_;
  std::shared_ptr<const std::function<void(const std::string&)>> refusalListener_
      GUARDED_BY(refusalMutex_);
  RefusalLimiter refusalLimiter_ GUARDED_BY(refusalMutex_);
};

}  // namespace qmx
