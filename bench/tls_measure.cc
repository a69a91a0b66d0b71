#include "tls_measure.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_util.h"
#include "proc_stats.h"
#include "pty_device.h"
#include "relay_process.h"
#include "round_trip.h"
#include "tls_client.h"
#include "transfer.h"

namespace qmx::bench {
namespace {

constexpr double kMb = 1e6;
constexpr int kRoundTripBlock = 100;

// One server's TLS line: its device, the server (one line only) and the
// benchmark's TLS client on it. Ends the session and stops the server on
// destruction.
class TlsBench {
 public:
  TlsBench(const std::string& name, const BenchOptions& options, TlsFigures* figures)
      : name_(name), options_(options), figures_(*figures) {}
  ~TlsBench() {
    echo_.reset();
    client_.reset();
    const std::string note = StopRelay(&relay_);
    if (!note.empty()) figures_.notes.push_back(note);
  }
  TlsBench(const TlsBench&) = delete;
  TlsBench& operator=(const TlsBench&) = delete;

  bool SetUp(const std::string& program, const TlsIdentity& identity);
  void Throughput(bool toDevice);
  void StartRoundTrips();
  RoundTripper& Tripper(size_t size) { return size == 1 ? *trips1_ : *trips64_; }
  void StopRoundTrips();
  void Finish();

 private:
  // Checks that nothing more arrives at either end of the line.
  void ExpectLineQuiet(const std::string& what);

  const std::string name_;
  const BenchOptions& options_;
  TlsFigures& figures_;
  PtyPair pty_;
  Relay relay_;
  std::unique_ptr<TlsClient> client_;
  std::unique_ptr<EchoDevice> echo_;
  std::unique_ptr<RoundTripper> trips1_, trips64_;
  std::vector<double> rates_[2];  // client to device, device to client
  double cpuSeconds_ = 0, relayedMb_ = 0;
};

bool TlsBench::SetUp(const std::string& program, const TlsIdentity& identity) {
  std::string error;
  if (!pty_.Open(&error)) {
    figures_.setupError = error;
    return false;
  }
  const std::vector<std::string> paths = {pty_.slavePath()};
  const bool started = name_ == "qmx"
                           ? StartQmx(program, paths, &relay_, &error, &identity)
                           : StartSocat(program, paths, &relay_, &error, &identity);
  if (!started) {
    figures_.setupError = error;
    return false;
  }
  Progress(name_, "TLS line: started, pid " + std::to_string(relay_.pids.front()) +
                      ", in " + relay_.workDirectory);
  int localPort = 0;
  const int fd = ConnectClient(
      relay_.dataPorts[0], 10, [this] { return !RelayEnded(relay_).empty(); },
      &localPort);
  if (fd < 0) {
    const std::string ended = RelayEnded(relay_);
    figures_.setupError =
        "the TLS line (TCP port " + std::to_string(relay_.dataPorts[0]) +
        ") never accepted a client" + (ended.empty() ? "" : ": " + ended) + ". " +
        RelayLogTail(relay_);
    return false;
  }
  client_ = TlsClient::Connect(fd, 5, &error);
  if (!client_) {
    figures_.setupError = error + ". " + RelayLogTail(relay_);
    return false;
  }
  figures_.protocol = client_->Protocol();
  figures_.cipher = client_->Cipher();
  // A round trip proves that the server has opened the device before
  // anything is measured.
  EchoDevice echo(pty_.master());
  RoundTripper check(client_.get(), 1);
  check.Run(1);
  if (!check.fault().empty()) {
    figures_.setupError =
        "the TLS line does not relay: " + check.fault() + ". " + RelayLogTail(relay_);
    return false;
  }
  Progress(name_, "TLS line: " + figures_.protocol + ", " + figures_.cipher);
  return true;
}

void TlsBench::ExpectLineQuiet(const std::string& what) {
  const std::string late = ExpectQuiet({pty_.master()}, {client_.get()}, 0.2);
  if (!late.empty()) figures_.faults.push_back(what + ": " + late);
}

void TlsBench::Throughput(bool toDevice) {
  const int master = pty_.master();
  const auto bytes = static_cast<uint64_t>(options_.oneLineMb * kMb);
  const std::string what =
      std::string("TLS line, ") + (toDevice ? "client to device" : "device to client");
  const Stream stream =
      toDevice
          ? Stream{"TLS line client to device", -1, master, bytes, client_.get(), nullptr}
          : Stream{
                "TLS line device to client", master, -1, bytes, nullptr, client_.get()};
  TransferLimits limits;
  limits.sendWindowSeconds = options_.sendWindowSeconds;
  // Four whole records at a time, however the device side takes the bytes.
  limits.writeAtLeast = 65536;

  const ProcessSample before = SampleProcesses(relay_.pids);
  const TransferOutcome outcome = RunTransfer({stream}, limits);
  const ProcessSample after = SampleProcesses(relay_.pids);

  const double mb = static_cast<double>(outcome.received) / kMb;
  rates_[toDevice ? 0 : 1].push_back(outcome.MegabytesPerSecond());
  relayedMb_ += mb;
  cpuSeconds_ += after.cpuSeconds - before.cpuSeconds;
  if (!outcome.fault.empty()) figures_.faults.push_back(what + ": " + outcome.fault);
  ExpectLineQuiet(what);
  if (outcome.cutShort) {
    figures_.notes.push_back(what + ": the send window closed after " + Fixed(mb, 1) +
                             " MB");
  }
  Progress(name_, what + ": " + Fixed(mb, 1) + " MB in " + Fixed(outcome.seconds, 2) +
                      " s, " + Fixed(outcome.MegabytesPerSecond(), 1) + " MB/s" +
                      (outcome.fault.empty() ? "" : "  FAULT"));
}

void TlsBench::StartRoundTrips() {
  echo_ = std::make_unique<EchoDevice>(pty_.master());
  trips1_ = std::make_unique<RoundTripper>(client_.get(), 1);
  trips64_ = std::make_unique<RoundTripper>(client_.get(), 64);
}

void TlsBench::StopRoundTrips() {
  echo_->Stop();
  if (!echo_->fault().empty()) figures_.faults.push_back("TLS line " + echo_->fault());
  echo_.reset();
  for (RoundTripper* trips : {trips1_.get(), trips64_.get()}) {
    if (!trips->fault().empty()) figures_.faults.push_back("TLS line " + trips->fault());
  }
  ExpectLineQuiet("TLS line, round trips");
  figures_.rtt1Median = trips1_->Percentile(0.5);
  figures_.rtt1P99 = trips1_->Percentile(0.99);
  figures_.rtt1Count = trips1_->microseconds().size();
  figures_.rtt64Median = trips64_->Percentile(0.5);
  figures_.rtt64P99 = trips64_->Percentile(0.99);
  figures_.rtt64Count = trips64_->microseconds().size();
  for (size_t size : {size_t{1}, size_t{64}}) {
    const RoundTripper& trips = Tripper(size);
    Progress(name_, "TLS line, round trips of " + std::to_string(size) +
                        " bytes: " + std::to_string(trips.microseconds().size()) +
                        ", median " + Fixed(trips.Percentile(0.5), 1) + " us, p99 " +
                        Fixed(trips.Percentile(0.99), 1) + " us");
    if (static_cast<int>(trips.microseconds().size()) < options_.roundTrips &&
        trips.fault().empty()) {
      figures_.notes.push_back("TLS line, round trips of " + std::to_string(size) +
                               " bytes: time limit after " +
                               std::to_string(trips.microseconds().size()));
    }
  }
}

void TlsBench::Finish() {
  figures_.toDeviceMbs = Median(rates_[0]);
  figures_.toClientMbs = Median(rates_[1]);
  figures_.relayedMb = relayedMb_;
  if (relayedMb_ > 0) figures_.cpuMsPerMb = cpuSeconds_ * 1e3 / relayedMb_;
  figures_.measured = true;
}

// Blocks of round trips, the servers taking turns, until each has `count`
// or the time limit has passed.
void RoundTrips(const std::vector<TlsBench*>& benches, size_t size,
                const BenchOptions& options) {
  for (TlsBench* bench : benches) bench->Tripper(size).WarmUp();
  const Clock::time_point start = Clock::now();
  for (int done = 0; done < options.roundTrips; done += kRoundTripBlock) {
    const int block = std::min(kRoundTripBlock, options.roundTrips - done);
    for (TlsBench* bench : benches) bench->Tripper(size).Run(block);
    if (SecondsSince(start) > options.sendWindowSeconds) break;
  }
}

void MeasureSideBySide(const std::vector<TlsBench*>& benches,
                       const BenchOptions& options) {
  for (bool toDevice : {true, false}) {
    for (int r = 0; r < options.repeat; ++r) {
      for (TlsBench* bench : benches) bench->Throughput(toDevice);
    }
  }
  for (TlsBench* bench : benches) bench->StartRoundTrips();
  RoundTrips(benches, 1, options);
  RoundTrips(benches, 64, options);
  for (TlsBench* bench : benches) {
    bench->StopRoundTrips();
    bench->Finish();
  }
}

}  // namespace

void MeasureTls(const std::vector<ServerToMeasure>& servers, const BenchOptions& options,
                std::vector<RelayFigures>* figures) {
  for (RelayFigures& relay : *figures) relay.tls.run = true;
  // The run's certificate, in a directory of its own that goes with it.
  std::string directory = "/tmp/qmx-bench-tls-XXXXXX";
  std::string error;
  if (::mkdtemp(directory.data()) == nullptr) {
    error = std::string("mkdtemp: ") + std::strerror(errno);
    directory.clear();
  }
  const TlsIdentity identity{directory + "/cert.pem", directory + "/key.pem"};
  if (!directory.empty() &&
      WriteSelfSignedIdentity(identity.certificateFile, identity.keyFile, &error)) {
    // Servers stop when their TlsBench goes, and may add a note then.
    std::vector<std::unique_ptr<TlsBench>> owned;
    std::vector<TlsBench*> benches;
    for (size_t i = 0; i < servers.size(); ++i) {
      TlsFigures& tls = (*figures)[i].tls;
      owned.push_back(std::make_unique<TlsBench>(servers[i].name, options, &tls));
      if (owned.back()->SetUp(servers[i].program, identity)) {
        benches.push_back(owned.back().get());
      } else {
        Progress(servers[i].name, "TLS line cannot be measured: " + tls.setupError);
      }
    }
    if (!benches.empty()) MeasureSideBySide(benches, options);
  } else {
    for (RelayFigures& relay : *figures) relay.tls.setupError = error;
    Progress("tls", "cannot be measured: " + error);
  }
  std::error_code ec;
  if (!directory.empty()) std::filesystem::remove_all(directory, ec);
}

}  // namespace qmx::bench
