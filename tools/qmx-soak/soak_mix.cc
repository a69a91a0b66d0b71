#include "soak_mix.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "echo_stream.h"

namespace qmx::soak {
namespace {

// A reply as one printable line: CR and LF and other control bytes as \xNN.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f) {
      shown += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    }
  }
  return shown.empty() ? "(no reply)" : shown;
}

using load::Clock;
using load::Millis;
using std::chrono::seconds;

// The stop signal of a run: workers nap on it and wake at once when it comes.
class StopSignal {
 public:
  void Raise() {
    {
      std::lock_guard lock(mutex_);
      raised_ = true;
    }
    changed_.notify_all();
  }
  bool raised() const {
    std::lock_guard lock(mutex_);
    return raised_;
  }
  // Waits up to `time`; true when the signal came.
  bool Nap(Millis time) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, time, [this] { return raised_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;
};

void KeepMax(std::atomic<int64_t>& slot, int64_t value) {
  int64_t seen = slot.load();
  while (value > seen && !slot.compare_exchange_weak(seen, value)) {
  }
}

// The one control session of the run, shared by the workers that need it; a
// failed session is replaced by a new one on next use.
class SharedControl {
 public:
  SharedControl(int port, Tally& tally, std::unique_ptr<load::ControlSession> session)
      : port_(port), tally_(tally), session_(std::move(session)) {}

  // Runs `commands` in order under one hold of the session; returns the
  // replies ("" for none in time).
  std::vector<std::string> Run(const std::vector<std::string>& commands) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> replies;
    for (const std::string& command : commands) {
      if (!Session()) {
        replies.emplace_back();
        continue;
      }
      const auto began = Clock::now();
      replies.push_back(session_->Command(command, kReplyLimit));
      KeepMax(tally_.longestReplyMs,
              std::chrono::duration_cast<Millis>(Clock::now() - began).count());
      if (replies.back().empty()) session_.reset();
    }
    return replies;
  }

  // Sends garbage and checks that hello is still answered afterwards.
  bool Garbage(const std::string& bytes, size_t pieces) {
    std::lock_guard lock(mutex_);
    if (!Session()) return false;
    const bool survived = session_->SendGarbage(bytes, pieces, kReplyLimit) &&
                          session_->AnswersHello(kReplyLimit);
    if (!survived) session_.reset();
    return survived;
  }

  // Lets a hostile client have the control line, then checks that the next
  // session starts with its own greeting and gets right answers. `departing`:
  // a client that leaves a half command and thousands of unread replies
  // behind; otherwise a client that sends commands and reads nothing, until
  // the server drops it. Returns an error text, "" when all went right.
  std::string Hostile(bool departing) {
    std::lock_guard lock(mutex_);
    session_.reset();
    {
      load::LineSocket hostile(port_, Millis(20000), 4096);
      if (!hostile.connected()) return "hostile client could not connect";
      std::string flood;
      for (int i = 0; i < 3000; ++i) flood += "status com1\r";
      if (departing) {
        hostile.SendAll(flood + "close com1 ", Millis(5000));
      } else {
        // Commands until the server stops reading them and then drops the
        // client, which reads nothing the whole time.
        const auto give_up = Clock::now() + Millis(60000);
        while (!hostile.PeerClosed() && Clock::now() < give_up) {
          hostile.SendAll(flood, Millis(1000));
        }
        if (!hostile.PeerClosed()) return "non-reading control client never dropped";
        ++tally_.controlStallsDropped;
      }
      hostile.Reset();
    }
    session_ = std::make_unique<load::ControlSession>(port_, Millis(20000));
    if (!session_->connected()) {
      session_.reset();
      return "no greeting after a hostile client";
    }
    if (session_->greeting() != "QMX ver2.01 ready\r\n") {
      session_.reset();
      return "next client got another's bytes before its greeting";
    }
    if (!session_->AnswersHello(kReplyLimit)) {
      session_.reset();
      return "next client not answered after a hostile client";
    }
    return "";
  }

  std::unique_ptr<load::ControlSession> Release() {
    std::lock_guard lock(mutex_);
    return std::move(session_);
  }

 private:
  // Longer than the server's send stall limit, which may hold every line.
  static constexpr Millis kReplyLimit{45000};

  bool Session() {
    if (!session_)
      session_ = std::make_unique<load::ControlSession>(port_, Millis(20000));
    if (session_->connected()) return true;
    session_.reset();
    tally_.Error("control line: no session");
    return false;
  }

  const int port_;
  Tally& tally_;
  std::mutex mutex_;
  std::unique_ptr<load::ControlSession> session_;
};

struct Context {
  const Options& options;
  SoakServer& server;
  Tally& tally;
  SharedControl& control;
  StopSignal& stop;
  std::atomic<bool> stopFlag{false};  // the same signal, for RunEchoStream
};

std::string LineText(int L) { return "line " + std::to_string(L) + ": "; }

std::string OpenedReply(const Context& c, int L) {
  return "200 opened by 9600,n,8,1,n. Port is " + std::to_string(c.server.port(L)) +
         "\r\n";
}

// Lines 1-4: echo sessions of a few megabytes, back to back.
void SteadyLine(Context& c, int L) {
  for (uint64_t session = 0; !c.stop.raised(); ++session) {
    load::LineSocket socket(c.server.port(L), Millis(10000));
    if (!socket.connected()) {
      c.tally.Error(LineText(L) + "no connection");
      c.stop.Nap(Millis(1000));
      continue;
    }
    load::StreamOptions options;
    options.bytes = 4 << 20;
    options.seed = static_cast<uint64_t>(L) << 32 | session;
    options.window = c.options.window;
    options.idleLimit = Millis(60000);
    options.stop = &c.stopFlag;
    const load::StreamOutcome outcome = load::RunEchoStream(socket, options);
    ++c.tally.sessions;
    c.tally.bytesSent += outcome.sent;
    c.tally.bytesBack += outcome.intact;
    KeepMax(c.tally.longestPauseMs, outcome.longestWait.count());
    if (!outcome.whole()) {
      c.tally.bytesLost += outcome.sent - outcome.intact;
      c.tally.Error(LineText(L) +
                    (outcome.failure.empty() ? "bytes differ" : outcome.failure));
    }
  }
}

// Line 5: every way of coming and going, with a probe after each round.
void ChurnLine(Context& c, int L) {
  for (uint64_t round = 0; !c.stop.raised(); ++round) {
    for (int k = 0; k < kChurnKinds; ++k) {
      const auto kind = static_cast<load::ChurnKind>((k + round) % kChurnKinds);
      if (load::ChurnOnce(c.server.port(L), kind)) {
        ++c.tally.churn[static_cast<size_t>(kind)];
      } else {
        c.tally.Error(LineText(L) + load::ChurnKindName(kind) + " could not connect");
      }
    }
    const std::string token = "<probe " + std::to_string(round) + ">";
    if (load::ProbeLine(c.server.port(L), token, Millis(60000))) {
      ++c.tally.probes;
    } else {
      c.tally.Error(LineText(L) + "probe not echoed");
    }
  }
}

// Line 6: now and then a client that never reads its talking device. The
// server must let go of it: the next client, waiting meanwhile, then gets
// the device's bytes.
void StallLine(Context& c, int L) {
  if (c.options.stallEvery <= 0) return;
  const Millis every = seconds(c.options.stallEvery);
  for (Millis pause = std::min<Millis>(seconds(10), every); !c.stop.Nap(pause);
       pause = every) {
    load::LineSocket stalled(c.server.port(L), Millis(10000), 4096);
    load::LineSocket next(c.server.port(L), Millis(10000));
    if (!stalled.connected() || !next.connected()) {
      c.tally.Error(LineText(L) + "no connection");
      continue;
    }
    ++c.tally.stalls;
    bool served = false;
    const auto deadline = Clock::now() + seconds(90);
    while (!served && !c.stop.raised() && Clock::now() < deadline) {
      served = next.ReadUntil("DDDD", Millis(1000)).find("DDDD") != std::string::npos;
    }
    if (!served) {
      if (!c.stop.raised()) c.tally.Error(LineText(L) + "stalled client never dropped");
      continue;
    }
    ++c.tally.stallsDropped;
    if (stalled.WaitPeerClosed(Millis(5000))) ++c.tally.stallsTold;
  }
}

// Line 7: the device vanishes under a stream, comes back, and the port is
// closed and opened again; the line must then echo whole again.
bool DeviceFaultRound(Context& c, int L, uint64_t round) {
  load::LineSocket victim(c.server.port(L), Millis(10000));
  if (!victim.connected()) return false;
  std::atomic<bool> victimStop{false};
  load::StreamOutcome cut;
  std::thread stream([&] {
    load::StreamOptions options;
    options.seed = round;
    options.window = 16 * 1024;
    options.idleLimit = Millis(10000);
    options.stop = &victimStop;
    cut = load::RunEchoStream(victim, options);
  });
  const uint64_t before = c.server.device(L).echoed();
  for (int i = 0; i < 300 && c.server.device(L).echoed() < before + 32 * 1024; ++i) {
    std::this_thread::sleep_for(Millis(100));
  }
  c.server.device(L).Hangup();
  // The server keeps the client while it waits for the device to come back.
  // The soak ends that client and the waiting (close) before the new device
  // is there, so the new device's first bytes are the fresh client's.
  victimStop = true;
  stream.join();
  victim.Reset();
  const std::string name = "com" + std::to_string(L);
  const std::string closed = c.control.Run({"close " + name})[0];
  std::string error;
  const bool replaced = c.server.ReplaceDevice(L, &error);
  const std::string opened = c.control.Run({"open " + name})[0];
  if (!replaced) c.tally.Error(LineText(L) + error);
  if (closed != "200 OK\r\n" || opened != OpenedReply(c, L)) {
    c.tally.Error(LineText(L) + "close and open after a device fault failed: " +
                  Shown(closed + opened));
    return false;
  }
  // Everything the client of the vanished device did receive is intact.
  if (cut.intact != cut.received) {
    c.tally.Error(LineText(L) + "client of the vanished device: " + cut.Describe());
  }
  load::LineSocket fresh(c.server.port(L), Millis(10000));
  load::StreamOptions options;
  options.bytes = 64 * 1024;
  options.seed = round + 1;
  options.window = 16 * 1024;
  options.timeLimit = Millis(60000);
  const load::StreamOutcome after = load::RunEchoStream(fresh, options);
  if (!after.whole()) {
    c.tally.bytesLost += after.sent - after.intact;
    c.tally.Error(LineText(L) + "after the device came back: " + after.Describe());
  }
  return replaced && after.whole();
}

void DeviceFaultLine(Context& c, int L) {
  for (uint64_t round = 0; !c.stop.Nap(Millis(2000)); ++round) {
    ++c.tally.deviceFaults;
    if (DeviceFaultRound(c, L, round)) ++c.tally.deviceRecovered;
  }
}

// Line 8: its port closed and opened again and again while a client keeps
// coming back to it.
void OpenCloseLine(Context& c, int L) {
  std::thread hopper([&] {
    for (uint64_t i = 0; !c.stop.raised(); ++i) {
      load::LineSocket client(c.server.port(L), Millis(1000));
      const std::string token = "<hop " + std::to_string(i) + ">";
      if (client.connected() && client.SendAll(token, Millis(1000)) &&
          client.ReadUntil(token, Millis(2000)).find(token) != std::string::npos) {
        ++c.tally.hopperRoundTrips;
      }
    }
  });
  const std::string name = "com" + std::to_string(L);
  while (!c.stop.Nap(Millis(500))) {
    const auto replies = c.control.Run({"close " + name, "open " + name});
    if (replies[0] == "200 OK\r\n" && replies[1] == OpenedReply(c, L)) {
      ++c.tally.openCloseCycles;
    } else {
      c.tally.Error(LineText(L) +
                    "close and open failed: " + Shown(replies[0] + replies[1]));
    }
  }
  hopper.join();
}

// The control line: status in a loop, and garbage now and then.
void ControlLoop(Context& c) {
  // Line 7's device vanishes now and then: while the server waits for it
  // to come back that line reads NG, and while the soak replaces it, unused.
  std::string expected = "200 Status is:\r\n";
  std::string deviceAway = expected;
  std::string deviceSwap = expected;
  for (int L = 1; L <= 8; ++L) {
    const std::string row = std::to_string(L) + ":" + std::to_string(c.server.port(L)) +
                            "-com" + std::to_string(L);
    expected += row + " OK\r\n";
    deviceAway += row + (L == 7 ? " NG\r\n" : " OK\r\n");
    deviceSwap += L == 7 ? std::string("7:unused-unused unused\r\n") : row + " OK\r\n";
  }
  std::mt19937_64 random(12345);
  for (uint64_t run = 1; !c.stop.Nap(Millis(50)); ++run) {
    if (run % 200 == 100) {
      const bool departing = (run / 200) % 2 == 0;
      ++(departing ? c.tally.departedClients : c.tally.controlStalls);
      const std::string error = c.control.Hostile(departing);
      if (!error.empty()) c.tally.Error("control line: " + error);
      continue;
    }
    if (run % 20 == 0) {
      const auto kind = static_cast<load::GarbageKind>(random() % 5);
      const size_t size = 2000 + random() % 20000;
      const std::string bytes = load::MakeGarbage(kind, size, random);
      ++c.tally.garbageBursts;
      if (!c.control.Garbage(bytes, 1 + random() % (size / 4))) {
        c.tally.Error(std::string("control line: no answer after ") +
                      load::GarbageKindName(kind));
      }
      continue;
    }
    const std::string reply = c.control.Run({"status"})[0];
    ++c.tally.statusRuns;
    if (reply != expected && reply != deviceAway && reply != deviceSwap) {
      c.tally.Error("control line: wrong status report");
    }
  }
}

}  // namespace

void Tally::Error(const std::string& what) {
  std::lock_guard lock(errorMutex_);
  ++errors_[what];
}

uint64_t Tally::ErrorCount() const {
  std::lock_guard lock(errorMutex_);
  uint64_t total = 0;
  for (const auto& [what, count] : errors_) total += count;
  return total;
}

std::map<std::string, uint64_t> Tally::Errors() const {
  std::lock_guard lock(errorMutex_);
  return errors_;
}

void RunMix(const Options& options, SoakServer& server, Tally& tally,
            std::unique_ptr<load::ControlSession>& session,
            const std::function<void(int)>& progress) {
  StopSignal stop;
  SharedControl control(server.controlPort(), tally, std::move(session));
  Context c{options, server, tally, control, stop};
  std::vector<std::thread> workers;
  for (int L = 1; L <= 4; ++L) workers.emplace_back(SteadyLine, std::ref(c), L);
  workers.emplace_back(ChurnLine, std::ref(c), 5);
  workers.emplace_back(StallLine, std::ref(c), 6);
  workers.emplace_back(DeviceFaultLine, std::ref(c), 7);
  workers.emplace_back(OpenCloseLine, std::ref(c), 8);
  workers.emplace_back(ControlLoop, std::ref(c));

  tally.peak = tally.start;
  const auto began = Clock::now();
  int reported = 0;
  for (;;) {
    std::this_thread::sleep_for(Millis(250));
    tally.last = load::SampleServer(server.pid());
    load::KeepPeak(tally.peak, tally.last);
    const int elapsed = static_cast<int>(
        std::chrono::duration_cast<seconds>(Clock::now() - began).count());
    if (options.reportEvery > 0 && elapsed / options.reportEvery > reported) {
      reported = elapsed / options.reportEvery;
      progress(elapsed);
    }
    if (elapsed >= options.seconds || !server.Running()) break;
  }
  c.stopFlag = true;
  stop.Raise();
  for (std::thread& worker : workers) worker.join();
  session = control.Release();
}

}  // namespace qmx::soak
