#include "measure.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "bench_util.h"
#include "line_polling.h"
#include "proc_stats.h"
#include "pty_device.h"
#include "relay_process.h"
#include "round_trip.h"
#include "transfer.h"

namespace qmx::bench {
namespace {

constexpr double kMb = 1e6;
constexpr int kRoundTripBlock = 100;

// Round trips per line in the many-line run's polling.
int PollingMessagesPerLine(const BenchOptions& options) {
  return std::max(1, options.roundTrips / 5);
}

void Sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

enum class Run { kOneLineToDevice, kOneLineToClient, kAllLines };

std::string RunName(Run run, int lines) {
  switch (run) {
    case Run::kOneLineToDevice:
      return "one line, client to device";
    case Run::kOneLineToClient:
      return "one line, device to client";
    case Run::kAllLines:
      return (lines == kUsualLines ? std::string("eight") : std::to_string(lines)) +
             " lines, both directions";
  }
  return "";
}

// Streams through lines at full speed both ways: both ends of each line
// (its client socket and its device) write as fast as they are taken and
// read and drop what comes, until Stop. The bytes are not checked; the pump
// only makes the load.
class Pump {
 public:
  explicit Pump(std::vector<int> fds) : fds_(std::move(fds)) {
    for (int fd : fds_) (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }
  ~Pump() { Stop(); }
  Pump(const Pump&) = delete;
  Pump& operator=(const Pump&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  // Reads and drops what is still under way on `fds` until nothing has come
  // for `quiet` seconds (at most ten seconds in all).
  static void Drain(const std::vector<int>& fds, double quiet) {
    std::vector<char> buffer(65536);
    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    while (SecondsSince(last) < quiet && SecondsSince(start) < 10) {
      std::vector<::pollfd> polled;
      for (int fd : fds) polled.push_back({fd, POLLIN, 0});
      if (::poll(polled.data(), polled.size(), 20) <= 0) continue;
      for (auto& entry : polled) {
        if ((entry.revents & POLLIN) != 0 &&
            ::read(entry.fd, buffer.data(), buffer.size()) > 0) {
          last = Clock::now();
        }
      }
    }
  }

 private:
  void Run() {
    std::vector<char> buffer(16384, 'x');
    std::vector<::pollfd> polled;
    for (int fd : fds_) polled.push_back({fd, POLLIN | POLLOUT, 0});
    while (!stop_) {
      if (::poll(polled.data(), polled.size(), 10) <= 0) continue;
      for (auto& entry : polled) {
        if ((entry.revents & POLLIN) != 0)
          (void)!::read(entry.fd, buffer.data(), buffer.size());
        if ((entry.revents & POLLOUT) != 0)
          (void)!::write(entry.fd, buffer.data(), buffer.size());
        // An end the server closed stays ready; it is left alone from now.
        if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) entry.events = 0;
      }
    }
  }

  std::vector<int> fds_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The lines of one server: its devices, the server itself and one
// connected client per line. Stops the server on destruction.
class Bench {
 public:
  Bench(const std::string& name, const BenchOptions& options, RelayFigures* figures)
      : options_(options), lines_(options.lines), figures_(*figures) {
    relay_.name = name;
  }
  ~Bench() {
    echo_.reset();
    const std::string note = StopRelay(&relay_);
    if (!note.empty()) figures_.notes.push_back(note);
    for (int fd : clients_) ::close(fd);
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  bool SetUp(const std::string& program);
  void Throughput(Run run);
  void StartRoundTrips();
  RoundTripper& Tripper(size_t size) { return size == 1 ? *trips1_ : *trips64_; }
  RoundTripper& BusyTripper(size_t size) { return size == 1 ? *busy1_ : *busy64_; }
  void StopRoundTrips();
  ProcessSample Sample() const { return SampleProcesses(relay_.pids); }
  void Finish();
  // Busy: line 1's echo and round trips while lines 2-8 stream (Streaming
  // starts and stops the load around each block).
  void StartBusy();
  void Streaming(bool on);
  void StopBusy();
  // Polling: every line doing round trips of 16-byte messages at once, each
  // line on threads of its own (the eight-line run).
  void Poll(int messagesPerLine);
  // The same driven by one poll loop (line_polling.h), in blocks so that the
  // servers take turns (the many-line run).
  void StartPolling();
  LinePoller& Poller() { return *poller_; }
  void StopPolling();
  // Last: stops the server with SIGTERM while every line streams both ways.
  void StopUnderLoad();

 private:
  std::vector<int> AllReadEnds() const;
  // Both ends of lines 2 to 8.
  std::vector<int> StreamEnds() const;

  const BenchOptions& options_;
  const int lines_;
  RelayFigures& figures_;
  Relay relay_;
  std::vector<std::unique_ptr<PtyPair>> ptys_;
  std::vector<int> clients_;
  std::vector<int> clientPorts_;
  std::unique_ptr<EchoDevice> echo_;
  std::unique_ptr<RoundTripper> trips1_, trips64_;
  std::unique_ptr<RoundTripper> busy1_, busy64_;
  std::unique_ptr<Pump> pump_;
  std::unique_ptr<LinePoller> poller_;
  // Throughput: rates per run kind, and the sums behind the per-MB figures.
  std::vector<double> rates_[3];
  double cpuSeconds_ = 0, relayedMb_ = 0;
  uint64_t switches_ = 0, calls_ = 0;
};

bool Bench::SetUp(const std::string& program) {
  std::vector<std::string> paths;
  std::string error;
  for (int k = 0; k < lines_; ++k) {
    ptys_.push_back(std::make_unique<PtyPair>());
    if (!ptys_.back()->Open(&error)) {
      figures_.setupError = error;
      return false;
    }
    paths.push_back(ptys_.back()->slavePath());
  }
  const bool started = relay_.name == "qmx" ? StartQmx(program, paths, &relay_, &error)
                                            : StartSocat(program, paths, &relay_, &error);
  if (!started) {
    figures_.setupError = error;
    return false;
  }
  std::string pids;
  for (pid_t pid : relay_.pids) pids += " " + std::to_string(pid);
  Progress(relay_.name, "started, pid" + pids + ", in " + relay_.workDirectory);

  for (int k = 0; k < lines_; ++k) {
    int localPort = 0;
    const int fd = ConnectClient(
        relay_.dataPorts[k], 10, [this] { return !RelayEnded(relay_).empty(); },
        &localPort);
    if (fd < 0) {
      const std::string ended = RelayEnded(relay_);
      figures_.setupError =
          "line " + std::to_string(k + 1) + " (TCP port " +
          std::to_string(relay_.dataPorts[k]) + ") never accepted a client" +
          (ended.empty() ? "" : ": " + ended) + ". " + RelayLogTail(relay_);
      return false;
    }
    clients_.push_back(fd);
    clientPorts_.push_back(localPort);
  }
  // A round trip on every line proves that the server has taken each client
  // and opened each device before anything is measured.
  for (int k = 0; k < lines_; ++k) {
    EchoDevice echo(ptys_[k]->master());
    RoundTripper check(clients_[k], 1);
    check.Run(1);
    if (!check.fault().empty()) {
      figures_.setupError = "line " + std::to_string(k + 1) +
                            " does not relay: " + check.fault() + ". " +
                            RelayLogTail(relay_);
      return false;
    }
  }
  std::string noDelayError;
  if (!CountNoDelaySockets(relay_.pids, clientPorts_, &figures_.noDelaySockets,
                           &figures_.clientSockets, &noDelayError)) {
    figures_.noDelayNote = noDelayError;
  }
  return true;
}

std::vector<int> Bench::AllReadEnds() const {
  std::vector<int> fds = clients_;
  for (const auto& pty : ptys_) fds.push_back(pty->master());
  return fds;
}

void Bench::Throughput(Run run) {
  std::vector<Stream> streams;
  const int master = ptys_[0]->master();
  const auto oneLine = static_cast<uint64_t>(options_.oneLineMb * kMb);
  const auto perStream = static_cast<uint64_t>(options_.perStreamMb * kMb);
  switch (run) {
    case Run::kOneLineToDevice:
      streams.push_back({"line 1 client to device", clients_[0], master, oneLine});
      break;
    case Run::kOneLineToClient:
      streams.push_back({"line 1 device to client", master, clients_[0], oneLine});
      break;
    case Run::kAllLines:
      for (int k = 0; k < lines_; ++k) {
        const std::string line = "line " + std::to_string(k + 1);
        streams.push_back(
            {line + " client to device", clients_[k], ptys_[k]->master(), perStream});
        streams.push_back(
            {line + " device to client", ptys_[k]->master(), clients_[k], perStream});
      }
      break;
  }
  const std::string what = RunName(run, lines_);
  TransferLimits limits;
  limits.sendWindowSeconds = options_.sendWindowSeconds;

  const ProcessSample before = Sample();
  const TransferOutcome outcome = RunTransfer(streams, limits);
  const ProcessSample after = Sample();

  const double mb = static_cast<double>(outcome.received) / kMb;
  rates_[static_cast<int>(run)].push_back(outcome.MegabytesPerSecond());
  relayedMb_ += mb;
  cpuSeconds_ += after.cpuSeconds - before.cpuSeconds;
  switches_ += after.contextSwitches - before.contextSwitches;
  calls_ += after.readCalls + after.writeCalls - before.readCalls - before.writeCalls;

  if (!outcome.fault.empty()) figures_.faults.push_back(what + ": " + outcome.fault);
  const std::string late = ExpectQuiet(AllReadEnds(), 0.2);
  if (!late.empty()) figures_.faults.push_back(what + ": " + late);
  if (outcome.cutShort) {
    figures_.notes.push_back(what + ": the send window closed after " + Fixed(mb, 1) +
                             " MB");
  }
  Progress(relay_.name, what + ": " + Fixed(mb, 1) + " MB in " +
                            Fixed(outcome.seconds, 2) + " s, " +
                            Fixed(outcome.MegabytesPerSecond(), 1) + " MB/s" +
                            (outcome.fault.empty() ? "" : "  FAULT"));
}

void Bench::StartRoundTrips() {
  echo_ = std::make_unique<EchoDevice>(ptys_[0]->master());
  trips1_ = std::make_unique<RoundTripper>(clients_[0], 1);
  trips64_ = std::make_unique<RoundTripper>(clients_[0], 64);
}

void Bench::StopRoundTrips() {
  echo_->Stop();
  if (!echo_->fault().empty()) figures_.faults.push_back(echo_->fault());
  echo_.reset();
  for (RoundTripper* trips : {trips1_.get(), trips64_.get()}) {
    if (!trips->fault().empty()) figures_.faults.push_back(trips->fault());
  }
  const std::string late = ExpectQuiet(AllReadEnds(), 0.2);
  if (!late.empty()) figures_.faults.push_back("round trips: " + late);
  figures_.rtt1Median = trips1_->Percentile(0.5);
  figures_.rtt1P99 = trips1_->Percentile(0.99);
  figures_.rtt1Count = trips1_->microseconds().size();
  figures_.rtt64Median = trips64_->Percentile(0.5);
  figures_.rtt64P99 = trips64_->Percentile(0.99);
  figures_.rtt64Count = trips64_->microseconds().size();
  for (size_t size : {size_t{1}, size_t{64}}) {
    const RoundTripper& trips = Tripper(size);
    Progress(relay_.name, "round trips of " + std::to_string(size) +
                              " bytes: " + std::to_string(trips.microseconds().size()) +
                              ", median " + Fixed(trips.Percentile(0.5), 1) +
                              " us, p99 " + Fixed(trips.Percentile(0.99), 1) + " us");
    if (static_cast<int>(trips.microseconds().size()) < options_.roundTrips &&
        trips.fault().empty()) {
      figures_.notes.push_back("round trips of " + std::to_string(size) +
                               " bytes: time limit after " +
                               std::to_string(trips.microseconds().size()));
    }
  }
}

void Bench::Finish() {
  figures_.oneLineToDeviceMbs = Median(rates_[0]);
  figures_.oneLineToClientMbs = Median(rates_[1]);
  figures_.allLinesMbs = Median(rates_[2]);
  figures_.relayedMb = relayedMb_;
  if (relayedMb_ > 0) {
    figures_.cpuMsPerMb = cpuSeconds_ * 1e3 / relayedMb_;
    figures_.contextSwitchesPerMb = static_cast<double>(switches_) / relayedMb_;
    figures_.systemCallsPerMb = static_cast<double>(calls_) / relayedMb_;
  }
  figures_.peakResidentMb = static_cast<double>(PeakResidentKb(relay_.pids)) / 1e3;
  figures_.measured = true;
}

void Bench::StartBusy() {
  echo_ = std::make_unique<EchoDevice>(ptys_[0]->master());
  busy1_ = std::make_unique<RoundTripper>(clients_[0], 1);
  busy64_ = std::make_unique<RoundTripper>(clients_[0], 64);
}

std::vector<int> Bench::StreamEnds() const {
  std::vector<int> fds;
  for (int k = 1; k < lines_; ++k) {
    fds.push_back(clients_[k]);
    fds.push_back(ptys_[k]->master());
  }
  return fds;
}

void Bench::Streaming(bool on) {
  if (on) {
    pump_ = std::make_unique<Pump>(StreamEnds());
    Sleep(0.05);  // the load is under way before the round trips begin
  } else {
    pump_.reset();
  }
}

void Bench::StopBusy() {
  pump_.reset();
  Pump::Drain(StreamEnds(), 0.3);
  echo_->Stop();
  if (!echo_->fault().empty()) figures_.faults.push_back(echo_->fault());
  echo_.reset();
  for (RoundTripper* trips : {busy1_.get(), busy64_.get()}) {
    if (!trips->fault().empty()) figures_.faults.push_back("busy " + trips->fault());
  }
  figures_.busy1Median = busy1_->Percentile(0.5);
  figures_.busy1P99 = busy1_->Percentile(0.99);
  figures_.busy64Median = busy64_->Percentile(0.5);
  figures_.busy64P99 = busy64_->Percentile(0.99);
  figures_.busyCount = busy1_->microseconds().size() + busy64_->microseconds().size();
  Progress(relay_.name, "busy round trips, 1 byte: median " +
                            Fixed(figures_.busy1Median, 1) + " us, p99 " +
                            Fixed(figures_.busy1P99, 1) + " us; 64 bytes: median " +
                            Fixed(figures_.busy64Median, 1) + " us, p99 " +
                            Fixed(figures_.busy64P99, 1) + " us");
}

void Bench::Poll(int messagesPerLine) {
  std::vector<std::unique_ptr<EchoDevice>> echoes;
  std::vector<std::unique_ptr<RoundTripper>> trippers;
  for (int k = 0; k < lines_; ++k) {
    echoes.push_back(std::make_unique<EchoDevice>(ptys_[k]->master()));
    trippers.push_back(std::make_unique<RoundTripper>(clients_[k], 16));
  }
  for (auto& tripper : trippers) tripper->WarmUp();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (auto& tripper : trippers) {
    threads.emplace_back([&tripper, messagesPerLine] { tripper->Run(messagesPerLine); });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = SecondsSince(start);
  std::vector<double> all;
  for (auto& tripper : trippers) {
    if (!tripper->fault().empty())
      figures_.faults.push_back("polling " + tripper->fault());
    all.insert(all.end(), tripper->microseconds().begin(), tripper->microseconds().end());
  }
  for (auto& echo : echoes) {
    echo->Stop();
    if (!echo->fault().empty()) figures_.faults.push_back(echo->fault());
  }
  std::sort(all.begin(), all.end());
  figures_.pollCount = all.size();
  figures_.pollMessagesPerSecond =
      seconds > 0 ? static_cast<double>(all.size()) / seconds : 0;
  figures_.pollP99 =
      all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
  Progress(relay_.name, "polling, 8 lines: " + std::to_string(all.size()) +
                            " messages, " + Fixed(figures_.pollMessagesPerSecond, 0) +
                            " per second, p99 " + Fixed(figures_.pollP99, 1) + " us");
}

void Bench::StartPolling() {
  std::vector<PolledLine> lines;
  for (int k = 0; k < lines_; ++k) lines.push_back({clients_[k], ptys_[k]->master()});
  poller_ = std::make_unique<LinePoller>(std::move(lines), 16);
}

void Bench::StopPolling() {
  if (!poller_->fault().empty()) figures_.faults.push_back("polling " + poller_->fault());
  const std::string late = ExpectQuiet(AllReadEnds(), 0.2);
  if (!late.empty()) figures_.faults.push_back("polling: " + late);
  std::vector<double> all = poller_->microseconds();
  std::sort(all.begin(), all.end());
  figures_.pollCount = all.size();
  figures_.pollMessagesPerSecond =
      poller_->seconds() > 0 ? static_cast<double>(all.size()) / poller_->seconds() : 0;
  figures_.pollP99 =
      all.empty() ? 0 : all[std::min(all.size() - 1, all.size() * 99 / 100)];
  Progress(relay_.name, "polling, " + std::to_string(lines_) +
                            " lines: " + std::to_string(all.size()) + " messages, " +
                            Fixed(figures_.pollMessagesPerSecond, 0) +
                            " per second, p99 " + Fixed(figures_.pollP99, 1) + " us");
  const size_t asked =
      static_cast<size_t>(lines_) * static_cast<size_t>(PollingMessagesPerLine(options_));
  if (all.size() < asked && poller_->fault().empty()) {
    figures_.notes.push_back("polling: time limit after " + std::to_string(all.size()) +
                             " of " + std::to_string(asked) + " messages");
  }
  poller_.reset();
}

void Bench::StopUnderLoad() {
  echo_.reset();
  std::vector<int> fds;
  for (int k = 0; k < lines_; ++k) {
    fds.push_back(clients_[k]);
    fds.push_back(ptys_[k]->master());
  }
  // Both ends of every line write as fast as they are taken and read what
  // comes, until the server is gone.
  Pump pump(fds);
  Sleep(1.0);
  const Clock::time_point start = Clock::now();
  for (pid_t pid : relay_.pids) ::kill(pid, SIGTERM);
  bool ended = true;
  for (pid_t pid : relay_.pids) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (SecondsSince(start) > 5) {
        ended = false;
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (ended && relay_.name == "qmx" &&
        !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
      figures_.notes.push_back("qmxd ended with status " + std::to_string(status) +
                               " after SIGTERM while streaming");
    }
  }
  figures_.stopUnderLoadMs = ended ? SecondsSince(start) * 1e3 : -1;
  pump.Stop();
  if (ended) relay_.pids.clear();  // reaped: nothing left for StopRelay
  Progress(relay_.name, "SIGTERM while streaming: " +
                            (ended ? Fixed(figures_.stopUnderLoadMs, 1) + " ms to exit"
                                   : std::string("still running after 5 s")));
}

// Blocks of round trips, the servers taking turns, until each has `count`
// or the time limit has passed.
void RoundTrips(const std::vector<Bench*>& benches, size_t size,
                const BenchOptions& options) {
  for (Bench* bench : benches) bench->Tripper(size).WarmUp();
  const Clock::time_point start = Clock::now();
  for (int done = 0; done < options.roundTrips; done += kRoundTripBlock) {
    const int block = std::min(kRoundTripBlock, options.roundTrips - done);
    for (Bench* bench : benches) bench->Tripper(size).Run(block);
    if (SecondsSince(start) > options.sendWindowSeconds) break;
  }
}

void Idle(const std::vector<Bench*>& benches, std::vector<RelayFigures*>& figures,
          const BenchOptions& options) {
  Sleep(1);  // let the last run's wake-ups die down
  std::vector<ProcessSample> before;
  for (Bench* bench : benches) before.push_back(bench->Sample());
  const Clock::time_point start = Clock::now();
  Sleep(options.idleSeconds);
  const double seconds = SecondsSince(start);
  for (size_t i = 0; i < benches.size(); ++i) {
    const ProcessSample after = benches[i]->Sample();
    RelayFigures& f = *figures[i];
    f.idleCpuPercent =
        static_cast<double>(after.runNanoseconds - before[i].runNanoseconds) / 1e9 /
        seconds * 100;
    f.idleWakeupsPerSecond =
        static_cast<double>(after.contextSwitches - before[i].contextSwitches) / seconds;
    f.threads = after.threads;
    Progress(f.name, "idle " + Fixed(seconds, 1) + " s: " + Fixed(f.idleCpuPercent, 3) +
                         " % of a core, " + Fixed(f.idleWakeupsPerSecond, 1) +
                         " wake-ups/s");
  }
}

// Round trips on line 1 while the server's other lines stream both ways, in
// blocks, the servers taking turns: only one server is loaded at a time.
void BusyRoundTrips(const std::vector<Bench*>& benches, const BenchOptions& options) {
  for (Bench* bench : benches) bench->StartBusy();
  const int count = std::max(kRoundTripBlock, options.roundTrips / 5);
  for (size_t size : {size_t{1}, size_t{64}}) {
    const Clock::time_point start = Clock::now();
    for (int done = 0; done < count; done += kRoundTripBlock) {
      for (Bench* bench : benches) {
        bench->Streaming(true);
        bench->BusyTripper(size).Run(std::min(kRoundTripBlock, count - done));
        bench->Streaming(false);
      }
      if (SecondsSince(start) > options.sendWindowSeconds) break;
    }
  }
  for (Bench* bench : benches) bench->StopBusy();
}

// Polling on every line at once, in blocks, the servers taking turns, until
// each line has made its share of round trips or the time limit (the send
// window for each server) has passed.
void PollingSideBySide(const std::vector<Bench*>& benches, const BenchOptions& options) {
  for (Bench* bench : benches) {
    bench->StartPolling();
    bench->Poller().WarmUp();
  }
  const int count = PollingMessagesPerLine(options);
  const double limit = options.sendWindowSeconds * static_cast<double>(benches.size());
  const Clock::time_point start = Clock::now();
  for (int done = 0; done < count; done += kRoundTripBlock) {
    for (Bench* bench : benches)
      bench->Poller().Run(std::min(kRoundTripBlock, count - done));
    if (SecondsSince(start) > limit) break;
  }
  for (Bench* bench : benches) bench->StopPolling();
}

// The many-line run: the steps that load every line, the servers taking
// turns.
void MeasureAllLinesSideBySide(const std::vector<Bench*>& benches,
                               std::vector<RelayFigures*>& figures,
                               const BenchOptions& options) {
  for (int r = 0; r < options.repeat; ++r) {
    for (Bench* bench : benches) bench->Throughput(Run::kAllLines);
  }
  PollingSideBySide(benches, options);
  Idle(benches, figures, options);
  for (Bench* bench : benches) bench->Finish();
}

// Every step, the servers taking turns.
void MeasureSideBySide(const std::vector<Bench*>& benches,
                       std::vector<RelayFigures*>& figures, const BenchOptions& options) {
  for (Run run : {Run::kOneLineToDevice, Run::kOneLineToClient, Run::kAllLines}) {
    for (int r = 0; r < options.repeat; ++r) {
      for (Bench* bench : benches) bench->Throughput(run);
    }
  }
  for (Bench* bench : benches) bench->StartRoundTrips();
  RoundTrips(benches, 1, options);
  RoundTrips(benches, 64, options);
  for (Bench* bench : benches) bench->StopRoundTrips();
  Idle(benches, figures, options);
  BusyRoundTrips(benches, options);
  for (Bench* bench : benches) bench->Poll(options.roundTrips / 5);
  for (Bench* bench : benches) bench->Finish();
  for (Bench* bench : benches) bench->StopUnderLoad();
}

// Raises the soft limit on open descriptors to the hard one when the run
// may need more: the benchmark three per line and server (a pseudo-terminal's
// two ends and a client socket), and each server, which inherits the limit,
// its own (qmxd about nine per line: listener, client, device and wake-up
// descriptors), with some to spare. Returns an empty string, or why the run
// cannot have them.
std::string EnoughDescriptors(int lines, size_t servers) {
  const auto needed =
      static_cast<rlim_t>(lines * (3 * static_cast<int>(servers) + 10) + 64);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) return {};
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
    return "the run needs " + std::to_string(needed) +
           " open descriptors and the hard limit is " + std::to_string(limit.rlim_max) +
           " (ulimit -Hn)";
  }
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::string("cannot raise the limit on open descriptors: ") +
           std::strerror(errno);
  }
  return {};
}

}  // namespace

std::vector<RelayFigures> MeasureServers(const std::vector<ServerToMeasure>& servers,
                                         const BenchOptions& options) {
  std::vector<RelayFigures> figures(servers.size());
  const std::string limit = EnoughDescriptors(options.lines, servers.size());
  for (size_t i = 0; i < servers.size(); ++i) {
    figures[i].name = servers[i].name;
    figures[i].lines = options.lines;
    if (!limit.empty()) {
      figures[i].setupError = limit;
      Progress(servers[i].name, "cannot be measured: " + limit);
    }
  }
  if (!limit.empty()) return figures;
  {
    // Servers stop when their Bench goes, and may add a note then.
    std::vector<std::unique_ptr<Bench>> owned;
    std::vector<Bench*> benches;
    std::vector<RelayFigures*> measured;
    for (size_t i = 0; i < servers.size(); ++i) {
      owned.push_back(std::make_unique<Bench>(servers[i].name, options, &figures[i]));
      if (owned.back()->SetUp(servers[i].program)) {
        benches.push_back(owned.back().get());
        measured.push_back(&figures[i]);
      } else {
        Progress(servers[i].name, "cannot be measured: " + figures[i].setupError);
      }
    }
    const bool manyLines = options.lines > kUsualLines;
    if (!benches.empty() && manyLines)
      MeasureAllLinesSideBySide(benches, measured, options);
    if (!benches.empty() && !manyLines) MeasureSideBySide(benches, measured, options);
  }
  return figures;
}

}  // namespace qmx::bench
