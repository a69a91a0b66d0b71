#include "relay/relay_loop.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/mutex.h"
#include "platform/session_log.h"
#include "protocol/command_interpreter.h"
#include "protocol/replies.h"
#include "relay/control_line.h"
#include "relay/corv_doc.h"
#include "relay/line_output.h"
#include "relay/remote_line.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

// The longest an idle relay sleeps. Producers wake it; this only bounds the
// cost of a signal that never comes.
constexpr std::chrono::milliseconds kIdleWait(1000);

// Wake-ups by a ready descriptor in a row, with no producer's signal among
// them, after which the relay rests for one backlog wait instead.
constexpr int kReadyWakeLimit = 256;

void TraceChunk(std::span<const uint8_t> chunk) {
  if (!TraceEnabled()) return;
  DebugTrace(
      std::string(reinterpret_cast<const char*>(chunk.data()), chunk.size()).c_str());
}

// Connects the control-line assembly to the interpreter and to the control
// client's output. Everything it sends goes to the client it serves, and
// only while that client still holds the line.
class ControlLineActions : public ControlLineAssembler::Sink {
 public:
  using Clock = std::chrono::steady_clock;
  // Serves the control session whose socket record is `record`.
  ControlLineActions(LineTable& table, CCorvDoc* doc, ControlLineOutput& output,
                     int record)
      : table_(table), doc_(doc), output_(output), record_(record) {}

  // Before a run of input: `client` is the serial read before the input was
  // taken, so input taken from a client that has gone since is never
  // answered to the next one (Abandoned catches the change).
  void Begin(uint64_t client, Clock::time_point now) {
    now_ = now;
    if (client != output_.client()) {
      stale_ = true;
      output_.Serve(client, now);
      lastCommand_ = now;  // the idle limit counts from here
    }
  }
  // True when the client the bytes came from is no longer the one served:
  // the rest of its input is not looked at.
  bool Abandoned() const {
    return table_.net.TcpClientSerial(record_) != output_.client() || output_.Gone();
  }
  // The client changed since the line buffer was last cleared.
  bool TakeStale() { return std::exchange(stale_, false); }

  void Greet() override {
    // The connect marker is queued by the new client's accept, after its
    // serial changed: serve that client from here on.
    output_.Serve(table_.net.TcpClientSerial(record_), now_);
    lastCommand_ = now_;
    FlushEcho();
    Reply(kGreeting, /*log=*/true);
    table_.refreshNeeded.store(1);
  }

  void Echo(uint8_t byte) override { echo_.push_back(byte); }

  void Line(std::string_view line) override {
    FlushEcho();
    DebugTrace(line);
    if (Abandoned()) return;
    lastCommand_ = now_;
    const std::string lower = LowerCaseLine(line);
    // The role is looked up for each command, so a list read again applies
    // from the next one.
    const bool mayOperate = table_.net.MayOperate(record_);
    std::vector<std::string> replies;
    bool refused = false;
    {
      MutexLock lock(table_.engineLock);
      // A command that waited for the lock while the server shut down does
      // nothing: no port or listener may start after the clean-up.
      if (ServerStopping(table_)) return;
      doc_->AppendCommandLog(lower);
      ReplyBatch batch(table_);
      refused = ExecuteCommand(table_, lower, mayOperate) == kNotAnOperator;
      replies = batch.Take();
    }
    for (const std::string& reply : replies) Reply(reply, /*log=*/true);
    if (!replies.empty()) LogCommand(lower, replies.front());
    if (refused) {
      table_.AppendErrorLog(
          "TCP port " + std::to_string(table_.net.tcpLines[0].listenPort.load()) + ": " +
          table_.net.TcpClientName(record_) + " is not an operator: " + Shown(lower));
    }
  }

  void OverlongLine(std::string_view stored) override {
    FlushEcho();
    DebugTrace(stored);
    if (Abandoned()) return;
    lastCommand_ = now_;
    doc_->AppendCommandLog(LowerCaseLine(stored));
    Reply(kReplyBadRequest, /*log=*/true);
    LogCommand(LowerCaseLine(stored), kReplyBadRequest);
  }

  // When the served client was greeted or last completed a command.
  Clock::time_point LastCommand() const { return lastCommand_; }

  void FlushEcho() {
    if (echo_.empty()) return;
    output_.Send(std::span<const uint8_t>(echo_), now_);
    echo_.clear();
  }

 private:
  void Reply(std::string_view text, bool log) {
    if (Abandoned()) return;
    output_.Send(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                 now_);
    if (log && !output_.Gone()) doc_->AppendCommandLog(std::string(text));
  }

  // The session log's entry for a command: who ran it, and the code its
  // reply began with. An over-long line is cut to a length a log takes.
  void LogCommand(std::string_view command, std::string_view reply) {
    const std::string code(reply.substr(0, 3));
    table_.sessionLog.Write(
        code[0] == '2' ? LogPriority::kInfo : LogPriority::kWarning,
        "TCP port " + std::to_string(table_.net.tcpLines[0].listenPort.load()) + ": " +
            table_.net.TcpClientName(record_) + ": " + Shown(command) + " -> " + code);
  }

  // A command as a log shows it: without its line end, an over-long one cut
  // to a length a log takes.
  static std::string Shown(std::string_view command) {
    constexpr size_t kLoggedChars = 200;
    while (!command.empty() && (command.back() == '\r' || command.back() == '\n'))
      command.remove_suffix(1);
    std::string shown(command.substr(0, kLoggedChars));
    if (command.size() > kLoggedChars) shown += "...";
    return shown;
  }

  LineTable& table_;
  CCorvDoc* doc_;
  ControlLineOutput& output_;
  const int record_;
  std::vector<uint8_t> echo_;
  Clock::time_point now_;
  Clock::time_point lastCommand_;
  bool stale_ = false;
};

// What a pass leaves behind, which decides how long the relay may sleep.
struct PassResult {
  bool queuesLeft = false;   // a queue gave a full chunk and may hold more
  bool backlogLeft = false;  // a client has bytes waiting to be retried
  // Descriptors whose room ends a backlog: the relay wakes when one of them
  // can take bytes again.
  int writable[Event::kMaxWritable];
  size_t writableCount = 0;
  void WaitFor(int fd) {
    if (fd >= 0 && writableCount < Event::kMaxWritable) writable[writableCount++] = fd;
  }
};

bool IsRemote(uint64_t remoteLines, int L) {
  return (remoteLines & (uint64_t{1} << static_cast<unsigned>(L - 1))) != 0;
}

}  // namespace

// The relay of one server: its thread's state, the two turns under which
// bytes move, and the shortcuts the receive threads take. It lives as long as
// its document, so a receive thread that reaches a shortcut always finds it.
class Relay {
 public:
  Relay(LineTable& table, CCorvDoc* document);
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // The relay thread: passes until the table's wakeEvent is closed.
  void Run();

 private:
  struct ControlSession;
  void ControlPass(ControlSession& session, DataLineOutput::Clock::time_point now,
                   PassResult& result);
  // Closes the session's client when it completed no command for the idle
  // limit, with an error-log entry.
  void LimitIdleControl(ControlSession& session, DataLineOutput::Clock::time_point now);
  void SendToPort(int n, uint64_t remoteLines, DataLineOutput::Clock::time_point now,
                  PassResult& result) REQUIRES(ports_[n].turn);
  // These three run with the turns of every line routed to port n held
  // (RoutedTurns); each says so to the analysis line by line.
  void SendToRoutes(int n, const int32_t* routes, uint64_t remoteLines,
                    std::span<const uint8_t> chunk,
                    DataLineOutput::Clock::time_point now);
  void SendPortInput(int n, const int32_t* routes, uint64_t remoteLines,
                     DataLineOutput::Clock::time_point now, PassResult& result);
  // Drops each copy line's client of port n that fell more than
  // kCopyBacklogLimit behind (bytes kept for it, and held while it asked the
  // server to stop), or that has held its copy for the stall limit, with an
  // error-log entry: a copy never holds the port's input back.
  void LimitCopyLines(int n, const int32_t* routes, uint64_t remoteLines,
                      DataLineOutput::Clock::time_point now);
  void LoadRoutes(int32_t* routes);
  void NoteClientBacklog(int L, PassResult& result) REQUIRES(lines_[L].turn);
  PassResult RelayPass();
  bool DeviceShortcut(int n);
  bool ClientShortcut(int n);
  static bool DeviceShortcutOf(void* relay, int n) {
    return static_cast<Relay*>(relay)->DeviceShortcut(n);
  }
  static bool ClientShortcutOf(void* relay, int n) {
    return static_cast<Relay*>(relay)->ClientShortcut(n);
  }
  void Publish(bool running);

  LineTable& table_;
  CCorvDoc* document_;

  // The relay's data sends, under turns: one per port for what goes to the
  // port's device, and one per data line for what goes to its client. The
  // relay thread takes each in its place during its pass; a thread that
  // queued bytes only tries the turns its shortcut needs and leaves the bytes
  // to the relay thread when one is taken. The turns are per port and per
  // line so that one line's bytes never wait behind another line's sends
  // (the figures are next to kRelayChunk). A port's turn comes before a
  // line's, lines' turns are taken in ascending order, and remote lines'
  // sessions take engineLock with them held, so the turns come before it
  // (platform/mutex.h has the order).
  struct PortTurn {
    Mutex turn ACQUIRED_BEFORE(LineTable::engineLock);
    SerialPortOutput output GUARDED_BY(turn);
    // Set by Publish while the relay thread runs: only then does the
    // shortcut move bytes.
    bool running GUARDED_BY(turn) = false;
  };
  PortTurn ports_[kMaxPortCount];
  // Each data line's client side has a turn of its own too: its output and
  // its remote port control session. Sends of a port's input take the turns
  // of every line routed to the port, in ascending line order; a port's turn
  // comes before any line's.
  struct LineTurn {
    Mutex turn ACQUIRED_BEFORE(LineTable::engineLock);
    DataLineOutput output GUARDED_BY(turn);
    // Used on remote lines only.
    RemoteLine remote GUARDED_BY(turn);
    bool running GUARDED_BY(turn) = false;
  };
  LineTurn lines_[kMaxLineCount];  // index = data line
  class RoutedTurns;

  // Each control session's parts: the relay thread's alone. Made by Run for
  // as many sessions as the control line serves at once.
  struct ControlSession {
    ControlSession(LineTable& table, CCorvDoc* document, int session)
        : record(ControlSessionRecord(session)),
          queue(table.ControlQueue(session)),
          actions(table, document, output, record),
          bytes(static_cast<size_t>(kQueueCapacity)) {
      output.Attach(&table.net, record);
    }
    const int record;
    ByteQueue& queue;
    ControlLineAssembler assembler;
    ControlLineOutput output;
    ControlLineActions actions;
    // Input taken from the queue and not yet looked at: the relay stops
    // taking more while the client's output backlog is full.
    std::vector<uint8_t> bytes;
    size_t held = 0;
    size_t next = 0;
    uint64_t idleDropped = 0;  // the client the idle limit closed
  };
  std::vector<std::unique_ptr<ControlSession>> controlSessions_;
  // One staging buffer per direction: a chunk is written out (or kept by its
  // output) before the next port's chunk is taken. Only the relay pass stages
  // bytes (those of remote lines), so the buffers are the relay thread's.
  uint8_t sendStaging_[kRelayChunk + 1];
  int firstPort_ = 0;  // where the relay pass starts; the relay thread's
  uint8_t receiveStaging_[kRelayChunk + 1];
};

// The turns of the data lines routed to one port, taken in ascending line
// order and let go when it goes. With tryOnly none is waited for: when one is
// taken elsewhere, or the relay does not run, it holds none. The analysis
// cannot follow a set of locks chosen at run time; the functions that use
// them say line by line which turn they rely on.
class Relay::RoutedTurns {
 public:
  RoutedTurns(Relay& relay, int n, const int32_t* routes,
              bool tryOnly) NO_THREAD_SAFETY_ANALYSIS {
    for (int L = 1; L < relay.table_.LineCount(); ++L) {
      if (routes[L - 1] != n) continue;
      Mutex& turn = relay.lines_[L].turn;
      if (!tryOnly) {
        turn.lock();
      } else if (!turn.try_lock()) {
        held_ = false;
        return;
      }
      taken_[count_++] = &turn;
      if (tryOnly && !relay.lines_[L].running) {
        held_ = false;
        return;
      }
    }
  }
  ~RoutedTurns() NO_THREAD_SAFETY_ANALYSIS {
    while (count_ > 0) taken_[--count_]->unlock();
  }
  RoutedTurns(const RoutedTurns&) = delete;
  RoutedTurns& operator=(const RoutedTurns&) = delete;

  bool held() const { return held_; }

 private:
  Mutex* taken_[kMaxLineCount] = {};
  int count_ = 0;
  bool held_ = true;
};

Relay::Relay(LineTable& table, CCorvDoc* document) : table_(table), document_(document) {
  for (LineTurn& line : lines_) {
    MutexLock turn(line.turn);
    line.output.Attach(&table.net);
    line.remote.Attach(&table);
  }
  for (PortTurn& port : ports_) {
    MutexLock turn(port.turn);
    port.output.Attach(&table.serial);
  }
}

void Relay::LimitIdleControl(ControlSession& session,
                             DataLineOutput::Clock::time_point now) {
  const int idle = table_.net.ControlIdleSeconds();
  if (idle <= 0) return;
  const uint64_t client = session.output.client();
  if (client == 0 || client == session.idleDropped || session.output.Gone() ||
      client != table_.net.TcpClientSerial(session.record) ||
      now - session.actions.LastCommand() < std::chrono::seconds(idle))
    return;
  const std::string name = table_.net.TcpClientName(session.record);
  if (name.empty()) return;  // it has gone
  session.idleDropped = client;
  table_.net.TcpDropClient(session.record, client, DropReason::kIdle);
  table_.AppendErrorLog("TCP port " + std::to_string(table_.net.tcpLines[0].listenPort) +
                        " dropped " + name + ": no command for " + std::to_string(idle) +
                        " s");
}

// A control session: input is looked at only while the client takes its
// output; each command's replies are queued before the next byte is read.
void Relay::ControlPass(ControlSession& session, DataLineOutput::Clock::time_point now,
                        PassResult& result) {
  const int rec = session.record;
  ControlLineOutput& output = session.output;
  ControlLineActions& actions = session.actions;
  ControlLineAssembler& assembler = session.assembler;
  output.Flush(now);
  actions.Begin(table_.net.TcpClientSerial(rec), now);
  if (actions.TakeStale()) {
    // A new client (or none): the old one's unfinished line and unread input
    // are dropped.
    assembler.Reset();
    session.held = session.next = 0;
  }
  LimitIdleControl(session, now);
  // Read before the queue is drained: once the client's input has ended,
  // every byte it sent is already queued, so a queue found empty after this
  // holds nothing more of it.
  const uint64_t served = output.client();
  const bool inputEnded = table_.net.TcpClientInputEnded(rec, served);
  bool drained = false;
  // At most two queues' worth a pass, so a client that floods the control
  // line cannot keep the relay from the data lines.
  for (int refills = 0;;) {
    if (session.next == session.held) {
      session.next = session.held = 0;
      if (output.Backlogged()) break;
      if (refills++ == 2) {
        result.queuesLeft = true;
        break;
      }
      const uint64_t client = table_.net.TcpClientSerial(rec);
      session.held = session.queue.GetSome(std::span(session.bytes));
      if (session.held == 0) {
        drained = true;
        break;
      }
      actions.Begin(client, now);
      if (actions.TakeStale()) assembler.Reset();
    }
    while (session.next < session.held && !output.Backlogged()) {
      assembler.Feed(session.bytes[session.next++], actions);
      if (actions.Abandoned()) {
        // Its client left: nothing more of this input runs or is answered.
        assembler.Reset();
        session.held = session.next = 0;
        break;
      }
    }
    actions.FlushEcho();
    if (output.Backlogged()) break;
  }
  if (output.HasPending() || session.next < session.held) result.backlogLeft = true;
  if (output.HasPending()) result.WaitFor(table_.net.TcpClientWaitHandle(rec));
  // A client that half-closed has had every complete command it sent run and
  // answered: once the answers are out, its connection ends. An unfinished
  // line is dropped unrun when its accept thread lets the client go.
  if (inputEnded && drained && output.client() == served && !output.Gone() &&
      !output.HasPending() && session.next == session.held) {
    table_.net.TcpEndClient(rec, served);
  } else if (output.client() != served &&
             table_.net.TcpClientInputEnded(rec, output.client())) {
    result.queuesLeft = true;  // greeted this pass: look again at once
  }
}

// Serial sends to port n: a port still writing its last chunk takes no new
// one.
void Relay::SendToPort(int n, uint64_t remoteLines, DataLineOutput::Clock::time_point now,
                       PassResult& result) REQUIRES(ports_[n].turn) {
  SerialPortOutput& port = ports_[n].output;
  port.Flush(n, now);
  if (port.HasPending()) {
    result.backlogLeft = true;
    result.WaitFor(table_.serial.RsWaitHandle(n));
    return;
  }
  const bool remote = remoteLines != 0 && IsRemote(remoteLines, n + 1);
  if (remote) {
    // Only the relay pass is given remote lines. The line's session answers
    // its client as it reads the client's bytes.
    LineTurn& line = lines_[n + 1];
    MutexLock lineTurn(line.turn);
    // A remote line's client input carries answers for it: it waits while
    // the client does not take what it was sent.
    if (line.output.Backlogged()) {
      result.backlogLeft = true;
      return;
    }
    uint8_t* buffer = sendStaging_;
    const size_t m = table_.txQueue[n].GetSome(std::span(buffer, kRelayChunk));
    if (m == 0) return;
    if (m == kRelayChunk) result.queuesLeft = true;
    const std::span<const uint8_t> data = line.remote.FromClient(
        n + 1, std::span<const uint8_t>(buffer, m), line.output, port, now);
    if (data.empty()) return;
    TraceChunk(data);
    port.Write(n, data, now);
  } else {
    // Written from the queue's own memory: no copy unless the device
    // leaves part of it for later.
    const size_t m =
        table_.txQueue[n].TakeRuns(kRelayChunk, [&](std::span<const uint8_t> run) {
          // TakeRuns calls this on this thread before it returns, so the
          // port's turn is still held; the analysis does not carry that into
          // the lambda.
          ports_[n].turn.AssertHeld();
          TraceChunk(run);
          port.Write(n, run, now);
        });
    if (m == 0) return;
    if (m == kRelayChunk) result.queuesLeft = true;
  }
  if (port.HasPending()) {
    result.backlogLeft = true;
    result.WaitFor(table_.serial.RsWaitHandle(n));
  }
}

// One chunk of port n's input to every data line routed to it, in
// ascending line order.
void Relay::SendToRoutes(int n, const int32_t* routes, uint64_t remoteLines,
                         std::span<const uint8_t> chunk,
                         DataLineOutput::Clock::time_point now) {
  if (chunk.empty()) return;
  TraceChunk(chunk);
  for (int L = 1; L < table_.LineCount(); ++L) {
    if (routes[L - 1] != n) continue;
    lines_[L].turn.AssertHeld();
    if (remoteLines != 0 && IsRemote(remoteLines, L)) {
      lines_[L].remote.ToClient(L, chunk, lines_[L].output, now);
    } else {
      lines_[L].output.Send(L, chunk, now);
    }
  }
}

// TCP sends of port n's input to every data line routed to it, in ascending
// line order; nothing while one of them is backlogged.
void Relay::SendPortInput(int n, const int32_t* routes, uint64_t remoteLines,
                          DataLineOutput::Clock::time_point now, PassResult& result) {
  // Only the port's own line holds its input back: a copy line's client
  // that falls behind is dropped instead (LimitCopyLines).
  const int own = n + 1;
  if (routes[own - 1] == n) {
    lines_[own].turn.AssertHeld();
    const bool held =
        lines_[own].output.Backlogged() ||
        (remoteLines != 0 && IsRemote(remoteLines, own) && lines_[own].remote.Held());
    if (held) return;  // the port's input waits until its slow client catches up
  }                    // the port's input waits until its slow client catches up
  bool anyRemote = false;
  for (int L = 1; L < table_.LineCount(); ++L)
    anyRemote = anyRemote || (routes[L - 1] == n && IsRemote(remoteLines, L));
  size_t m = 0;
  if (anyRemote) {
    // A remote line's session may take engineLock, which must never be
    // waited for under a queue's lock (close frees queues holding it).
    uint8_t* buffer = receiveStaging_;
    m = table_.rxQueue[n].GetSome(std::span(buffer, kRelayChunk));
    SendToRoutes(n, routes, remoteLines, std::span<const uint8_t>(buffer, m), now);
  } else {
    // Sent from the queue's own memory; what a client does not take at once
    // is kept by its output.
    m = table_.rxQueue[n].TakeRuns(kRelayChunk, [&](std::span<const uint8_t> run) {
      SendToRoutes(n, routes, 0, run, now);
    });
  }
  if (m == kRelayChunk) result.queuesLeft = true;
  LimitCopyLines(n, routes, remoteLines, now);
}

void Relay::LimitCopyLines(int n, const int32_t* routes, uint64_t remoteLines,
                           DataLineOutput::Clock::time_point now) {
  for (int L = 1; L < table_.LineCount(); ++L) {
    if (routes[L - 1] != n || L == n + 1) continue;
    lines_[L].turn.AssertHeld();
    DataLineOutput& output = lines_[L].output;
    RemoteLine& remote = lines_[L].remote;
    size_t behind = output.Pending();
    bool suspendedTooLong = false;
    if (remoteLines != 0 && IsRemote(remoteLines, L) && remote.HeldBytes() > 0) {
      behind += remote.HeldBytes();
      suspendedTooLong = now - remote.HeldSince() >=
                         std::chrono::milliseconds(table_.net.SendStallLimitMs());
    }
    if (behind <= kCopyBacklogLimit && !suspendedTooLong) continue;
    const std::string client = table_.net.TcpClientName(L);
    const bool dropped = output.DropClient(L);
    remote.DropHeld();
    if (!dropped || client.empty()) continue;  // it had gone already
    const std::string why =
        suspendedTooLong ? "its copy was held for " +
                               std::to_string(table_.net.SendStallLimitMs()) + " ms"
                         : "its copy fell more than " +
                               std::to_string(kCopyBacklogLimit) + " bytes behind";
    table_.AppendErrorLog("TCP port " +
                          std::to_string(table_.net.tcpLines[L].listenPort.load()) +
                          " dropped " + client + ": " + why);
  }
}

void Relay::LoadRoutes(int32_t* routes) {
  for (int i = 0; i < table_.DataLines(); ++i)
    routes[i] = table_.routeTable[i].load(std::memory_order_relaxed);
}

void Relay::NoteClientBacklog(int L, PassResult& result) REQUIRES(lines_[L].turn) {
  if (!lines_[L].output.HasPending()) return;
  result.backlogLeft = true;
  result.WaitFor(table_.net.TcpClientWaitHandle(L));
}

PassResult Relay::RelayPass() {
  PassResult result;
  const auto now = DataLineOutput::Clock::now();
  // Commands run one at a time, each session's in the order they came.
  for (const auto& session : controlSessions_) ControlPass(*session, now, result);
  // Ports whose device went away, or that wait for it to come back.
  RetryAbsentDevices(table_, now);
  // Lines that speak Telnet with remote port control follow their clients.
  const uint64_t remoteLines = table_.Rfc2217Lines();
  if (remoteLines != 0) {
    for (int L = 1; L < table_.LineCount(); ++L) {
      if (!IsRemote(remoteLines, L)) continue;
      MutexLock turn(lines_[L].turn);
      lines_[L].remote.Follow(L, lines_[L].output, now);
    }
  }
  // Each pass starts one port further on, so no port is always served last.
  firstPort_ = (firstPort_ + 1) % table_.DataLines();
  for (int i = 0; i < table_.DataLines(); ++i) {
    const int n = (firstPort_ + i) % table_.DataLines();
    MutexLock turn(ports_[n].turn);
    SendToPort(n, remoteLines, now, result);
  }
  // TCP sends: first what clients could not take before, then new chunks.
  int32_t routes[kMaxPortCount];
  LoadRoutes(routes);
  for (int L = 1; L < table_.LineCount(); ++L) {
    MutexLock turn(lines_[L].turn);
    lines_[L].output.Flush(L, now);
  }
  for (int i = 0; i < table_.DataLines(); ++i) {
    const int n = (firstPort_ + i) % table_.DataLines();
    RoutedTurns turns(*this, n, routes, /*tryOnly=*/false);
    SendPortInput(n, routes, remoteLines, now, result);
  }
  for (int L = 1; L < table_.LineCount(); ++L) {
    MutexLock turn(lines_[L].turn);
    NoteClientBacklog(L, result);
  }
  return result;
}

// The shortcuts: a receive thread that has just queued bytes moves them on
// itself when nobody else is moving bytes that way, which saves the relay
// thread a wake-up per chunk and the bytes a hand-off. Each returns true when
// it left nothing for the relay thread (no queued bytes, nothing kept back),
// false when the relay thread must be woken. Bytes to or from a line with
// remote port control always go through the relay thread: its session may
// take engineLock, which a receive thread must not wait for (a command
// holding it may be waiting for that thread to end). Every other line keeps
// its shortcut, whatever the remote lines do.

// On data line n + 1's receive thread, after it queued bytes for port n.
bool Relay::DeviceShortcut(int n) {
  if (IsRemote(table_.Rfc2217Lines(), n + 1) || !ports_[n].turn.try_lock()) return false;
  MutexLock turn(ports_[n].turn, kAdoptLock);
  if (!ports_[n].running) return false;
  PassResult result;
  SendToPort(n, 0, DataLineOutput::Clock::now(), result);
  return !result.queuesLeft && !result.backlogLeft;
}

// On port n's receive thread, after it queued the device's bytes.
bool Relay::ClientShortcut(int n) {
  const uint64_t remoteLines = table_.Rfc2217Lines();
  int32_t routes[kMaxPortCount];
  LoadRoutes(routes);
  // The routes read once serve both the check and the sends, so a line that
  // speaks remote port control never gets the port's bytes from here.
  for (int L = 1; L < table_.LineCount(); ++L) {
    if (routes[L - 1] == n && IsRemote(remoteLines, L)) return false;
  }
  RoutedTurns turns(*this, n, routes, /*tryOnly=*/true);
  if (!turns.held()) return false;
  const auto now = DataLineOutput::Clock::now();
  PassResult result;
  for (int L = 1; L < table_.LineCount(); ++L) {
    if (routes[L - 1] != n) continue;
    lines_[L].turn.AssertHeld();
    lines_[L].output.Flush(L, now);
  }
  SendPortInput(n, routes, 0, now, result);
  for (int L = 1; L < table_.LineCount(); ++L) {
    if (routes[L - 1] != n) continue;
    lines_[L].turn.AssertHeld();
    NoteClientBacklog(L, result);
  }
  return !result.queuesLeft && !result.backlogLeft;
}

// Lets the shortcuts move bytes (or, with false, no longer) and hands the
// queues' producers the shortcuts.
void Relay::Publish(bool running) {
  for (LineTurn& line : lines_) {
    MutexLock turn(line.turn);
    line.running = running;
  }
  for (PortTurn& port : ports_) {
    MutexLock turn(port.turn);
    port.running = running;
  }
  for (int n = 0; n < table_.DataLines(); ++n) {
    table_.txQueue[n].SetDrainer(running ? &DeviceShortcutOf : nullptr, this, n);
    table_.rxQueue[n].SetDrainer(running ? &ClientShortcutOf : nullptr, this, n);
  }
}

void Relay::Run() {
  DebugTrace("Server Version 2.01\n");
  for (int s = 0; s < table_.net.ControlClients(); ++s)
    controlSessions_.push_back(std::make_unique<ControlSession>(table_, document_, s));
  Publish(true);
  // Every producer signals wakeEvent after it queues bytes, so an idle relay
  // sleeps long; it comes back at once while a queue still holds a full
  // chunk. While a client or a device has bytes kept back it also wakes as
  // soon as that one can take more, and every 10 ms regardless, which is
  // how a stalled client is noticed.
  //
  // A descriptor that reports itself ready while its output still takes
  // nothing (a device in error) would wake the relay at once pass after
  // pass; after kReadyWakeLimit such wake-ups in a row without a signal, one
  // wait ignores the descriptors.
  PassResult result;
  int readyWakes = 0;
  // A watchdog's beat comes from here, between passes: a relay stuck in a
  // pass stops it. No pass waits for a device or a client (their sends never
  // block), so only a fault can hold it that long.
  const LineTable::RelayWatch& watch = table_.relayWatch;
  const bool watched = watch.interval.count() > 0 && watch.beat;
  const std::chrono::milliseconds idleWait =
      watched ? std::min(kIdleWait, watch.interval) : kIdleWait;
  auto lastBeat = std::chrono::steady_clock::time_point();
  for (;;) {
    if (watched) {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastBeat >= watch.interval) {
        watch.beat();
        lastBeat = now;
      }
    }
    const std::chrono::milliseconds wait =
        result.queuesLeft    ? std::chrono::milliseconds(0)
        : result.backlogLeft ? std::chrono::milliseconds(10)
                             : idleWait;
    size_t handles = result.writableCount;
    if (readyWakes >= kReadyWakeLimit) {
      handles = 0;
      readyWakes = 0;
    }
    const auto before = std::chrono::steady_clock::now();
    const Event::WaitResult woken =
        table_.wakeEvent.Wait(wait, std::span<const int>(result.writable, handles));
    if (woken == Event::WaitResult::kFailed) {
      DebugTrace("WaitForSingleObject Errors");
      Publish(false);
      return;
    }
    const bool byReadiness = woken == Event::WaitResult::kTimeout && handles > 0 &&
                             std::chrono::steady_clock::now() - before < wait;
    readyWakes = byReadiness ? readyWakes + 1 : 0;
    // The window's changes run here, between two passes, like commands.
    document_->Requests().RunPending();
    result = RelayPass();
  }
}

bool CCorvDoc::OnNewDocument() {
  if (initialised_) return true;  // a second "new document" keeps log and thread
  initialised_ = true;
  commandLog_.Size(kLogSize);
  try {
    relay_ = std::make_unique<Relay>(table_, this);
    relayThread_ = std::thread(&Relay::Run, relay_.get());
  } catch (const std::system_error&) {
    DebugTrace("_beginthread Error CorvMainThread");
    if (fatalErrorHandler) fatalErrorHandler("Fatal error");
  }
  return true;
}

CCorvDoc::CCorvDoc(LineTable& table) : table_(table) {}

CCorvDoc::~CCorvDoc() { JoinRelayThread(); }

}  // namespace qmx
