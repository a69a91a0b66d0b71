#include "engine/relay_loop.h"

#include <chrono>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "engine/control_line.h"
#include "engine/line_output.h"
#include "engine/corv_doc.h"
#include "engine/line_table.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "protocol/command_interpreter.h"
#include "protocol/replies.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

// The longest an idle relay sleeps. Producers wake it; this only bounds the
// cost of a signal that never comes.
constexpr std::chrono::milliseconds kIdleWait(1000);

// One relay thread per process: set while a relay thread runs.
std::atomic<bool> relayRunning{false};

void TraceChunk(std::span<const uint8_t> chunk) {
  if (!TraceEnabled()) return;
  DebugTrace(std::string(reinterpret_cast<const char*>(chunk.data()), chunk.size()).c_str());
}

// Connects the control-line assembly to the socket layer and the interpreter.
class ControlLineActions : public ControlLineAssembler::Sink {
 public:
  explicit ControlLineActions(CCorvDoc* doc) : doc_(doc) {}

  void Greet() override {
    SendCmdReply(kGreeting);
    doc_->refreshNeeded.store(1);
  }

  void Echo(uint8_t byte) override {
    int error = 0;
    TcpOut(0, &byte, 1, &error);
  }

  void Line(std::string_view line) override {
    DebugTrace(line);
    const std::string lower = LowerCaseLine(line);
    std::vector<std::string> replies;
    {
      std::lock_guard lock(engineLock);
      doc_->AppendCommandLog(lower);
      ReplyBatch batch;
      ExecuteCommand(lower);
      replies = batch.Take();
    }
    SendReplies(replies);
  }

  void OverlongLine(std::string_view stored) override {
    DebugTrace(stored);
    {
      std::lock_guard lock(engineLock);
      doc_->AppendCommandLog(LowerCaseLine(stored));
    }
    SendCmdReply(kReplyBadRequest);
  }

 private:
  CCorvDoc* doc_;
};

struct RelayState {
  ControlLineAssembler controlLine;
  DataLineOutput output[kLineCount];  // index = data line
  SerialPortOutput serialOutput[kPortCount];
  uint8_t controlBytes[kQueueCapacity];
  uint8_t sendStaging[kPortCount][kRelayChunk + 1];
  uint8_t receiveStaging[kPortCount][kRelayChunk + 1];
};

// What a pass leaves behind, which decides how long the relay may sleep.
struct PassResult {
  bool queuesLeft = false;   // a queue gave a full chunk and may hold more
  bool backlogLeft = false;  // a client has bytes waiting to be retried
};

PassResult RelayPass(RelayState& state, ControlLineActions& actions) {
  PassResult result;
  // Control line: exactly the bytes queued now.
  int32_t pending = cmdQueue.Count();
  while (pending > 0) {
    size_t got = cmdQueue.GetSome(std::span(state.controlBytes,
                                            static_cast<size_t>(pending)));
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) state.controlLine.Feed(state.controlBytes[i], actions);
    pending -= static_cast<int32_t>(got);
  }
  // Serial sends: a port still writing its last chunk takes no new one.
  const auto now = DataLineOutput::Clock::now();
  for (int n = 0; n < kPortCount; ++n) {
    SerialPortOutput& port = state.serialOutput[n];
    port.Flush(n, now);
    if (port.HasPending()) {
      result.backlogLeft = true;
      continue;
    }
    uint8_t* buffer = state.sendStaging[n];
    size_t m = txQueue[n].GetSome(std::span(buffer, kRelayChunk));
    if (m == 0) continue;
    if (m == kRelayChunk) result.queuesLeft = true;
    buffer[m] = 0;
    TraceChunk(std::span(buffer, m));
    port.Write(n, std::span(buffer, m), now);
    result.backlogLeft = result.backlogLeft || port.HasPending();
  }
  // TCP sends: first what clients could not take before, then new chunks.
  int32_t routes[kPortCount];
  for (int i = 0; i < kPortCount; ++i) {
    routes[i] = routeTable[i].load(std::memory_order_relaxed);
    state.output[i + 1].Flush(i + 1, now);
  }
  for (int n = 0; n < kPortCount; ++n) {
    bool held = false;
    for (int L = 1; L < kLineCount; ++L) {
      held = held || (routes[L - 1] == n && state.output[L].Backlogged());
    }
    if (held) continue;  // the port's input waits until its slow client catches up
    uint8_t* buffer = state.receiveStaging[n];
    size_t m = rxQueue[n].GetSome(std::span(buffer, kRelayChunk));
    if (m == 0) continue;
    if (m == kRelayChunk) result.queuesLeft = true;
    buffer[m] = 0;
    TraceChunk(std::span(buffer, m));
    for (int L = 1; L < kLineCount; ++L) {
      if (routes[L - 1] == n) state.output[L].Send(L, std::span(buffer, m), now);
    }
  }
  for (int L = 1; L < kLineCount; ++L) {
    result.backlogLeft = result.backlogLeft || state.output[L].HasPending();
  }
  return result;
}

}  // namespace

void CorvMainThread(CCorvDoc* document) {
  relayDoc.store(document);
  DebugTrace("Server Version 2.01\n");
  auto state = std::make_unique<RelayState>();
  ControlLineActions actions(document);
  // Every producer signals wakeEvent after it queues bytes, so an idle relay
  // sleeps long; it comes back at once while a queue still holds a full
  // chunk, and every 10 ms while a slow client has bytes to retry.
  std::chrono::milliseconds wait(10);
  for (;;) {
    if (wakeEvent.Wait(wait) == Event::WaitResult::kFailed) {
      DebugTrace("WaitForSingleObject Errors");
      relayRunning.store(false);
      return;
    }
    const PassResult result = RelayPass(*state, actions);
    wait = result.queuesLeft    ? std::chrono::milliseconds(0)
           : result.backlogLeft ? std::chrono::milliseconds(10)
                                : kIdleWait;
  }
}

bool CCorvDoc::OnNewDocument() {
  if (initialised_) return true;  // a second "new document" keeps log and thread
  initialised_ = true;
  if (relayRunning.exchange(true)) {
    DebugTrace("relay thread already running; not starting another");
    return true;
  }
  commandLog_.Size(kLogSize);
  try {
    relayThread_ = std::thread(CorvMainThread, this);
  } catch (const std::system_error&) {
    DebugTrace("_beginthread Error CorvMainThread");
    relayRunning.store(false);
    if (fatalErrorHandler) fatalErrorHandler("Fatal error");
  }
  return true;
}

}  // namespace qmx
