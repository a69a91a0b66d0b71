// qmx-soak: runs a mix of load and faults against qmxd for a given time and
// prints the figures. See soak_options.h for the command line and soak_mix.h
// for the mix.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "soak_mix.h"
#include "soak_options.h"
#include "soak_server.h"

namespace {

using qmx::load::ServerFigures;
using qmx::soak::Tally;
using Clock = std::chrono::steady_clock;

// The line whose device talks without end, for the stalled clients.
constexpr int kSourceLine = 6;

std::string DefaultServerPath() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? "qmxd" : (self.parent_path() / "qmxd").string();
}

std::string Megabytes(uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu (%.1f MB)",
                static_cast<unsigned long long>(bytes), static_cast<double>(bytes) / 1e6);
  return text;
}

void PrintProgress(int elapsed, const Tally& tally) {
  std::printf(
      "[%5d s] relayed %s, lost %llu, errors %llu, descriptors %d, threads %d, "
      "resident %lld kB\n",
      elapsed, Megabytes(tally.bytesBack.load()).c_str(),
      static_cast<unsigned long long>(tally.bytesLost.load()),
      static_cast<unsigned long long>(tally.ErrorCount()), tally.last.descriptors,
      tally.last.threads, static_cast<long long>(tally.last.residentKb));
  std::fflush(stdout);
}

void PrintFigure(const char* what, int start, int peak, int end) {
  std::printf("  %-22s start %d, peak %d, final %d\n", what, start, peak, end);
}

void PrintReport(const Tally& t, const ServerFigures& final, int seconds) {
  const auto u = [](const std::atomic<uint64_t>& value) {
    return static_cast<unsigned long long>(value.load());
  };
  std::printf("\nqmx-soak: %d s of the mix\n", seconds);
  std::printf("  echo streams (1-4)     %llu sessions, sent %s, came back intact %s\n",
              u(t.sessions), Megabytes(t.bytesSent.load()).c_str(),
              Megabytes(t.bytesBack.load()).c_str());
  std::printf("  bytes relayed          %s (each byte both ways)\n",
              Megabytes(t.bytesBack.load() * 2).c_str());
  std::printf("  bytes lost             %llu\n", u(t.bytesLost));
  std::printf("  longest stream pause   %lld ms\n",
              static_cast<long long>(t.longestPauseMs));
  std::printf("  churn (5)              ");
  for (int k = 0; k < qmx::soak::kChurnKinds; ++k) {
    std::printf("%s%s %llu", k ? ", " : "",
                qmx::load::ChurnKindName(static_cast<qmx::load::ChurnKind>(k)),
                u(t.churn[static_cast<size_t>(k)]));
  }
  std::printf("; probes %llu\n", u(t.probes));
  std::printf("  stalled clients (6)    %llu, dropped by the server %llu, told so %llu\n",
              u(t.stalls), u(t.stallsDropped), u(t.stallsTold));
  std::printf("  device faults (7)      %llu, recovered %llu\n", u(t.deviceFaults),
              u(t.deviceRecovered));
  std::printf("  close/open cycles (8)  %llu, client round trips %llu\n",
              u(t.openCloseCycles), u(t.hopperRoundTrips));
  std::printf(
      "  control line           status %llu, garbage bursts %llu, longest reply %lld "
      "ms\n",
      u(t.statusRuns), u(t.garbageBursts), static_cast<long long>(t.longestReplyMs));
  std::printf(
      "  hostile control        departed mid-command %llu, stopped reading %llu (dropped "
      "%llu)\n",
      u(t.departedClients), u(t.controlStalls), u(t.controlStallsDropped));
  std::printf("  errors                 %llu\n",
              static_cast<unsigned long long>(t.ErrorCount()));
  for (const auto& [what, count] : t.Errors()) {
    std::printf("    %6llu x %s\n", static_cast<unsigned long long>(count), what.c_str());
  }
  std::printf("server\n");
  PrintFigure("descriptors", t.start.descriptors, t.peak.descriptors, final.descriptors);
  PrintFigure("threads", t.start.threads, t.peak.threads, final.threads);
  std::printf("  %-22s start %lld, peak %lld, final %lld\n", "resident memory (kB)",
              static_cast<long long>(t.start.residentKb),
              static_cast<long long>(t.peak.residentKb),
              static_cast<long long>(final.residentKb));
}

// Waits until the server holds what it held at the start again.
ServerFigures SettledFigures(pid_t pid, const ServerFigures& start) {
  ServerFigures now = qmx::load::SampleServer(pid);
  for (int i = 0; i < 200; ++i) {
    if (now.descriptors == start.descriptors && now.threads == start.threads) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    now = qmx::load::SampleServer(pid);
  }
  return now;
}

}  // namespace

int main(int argc, char** argv) {
  qmx::soak::Options options;
  std::string error;
  if (!qmx::soak::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                               &error)) {
    std::fprintf(stderr, "qmx-soak: %s\n\n%s", error.c_str(), qmx::soak::kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(qmx::soak::kUsage, stdout);
    return 0;
  }
  if (options.qmxd.empty()) options.qmxd = DefaultServerPath();
  std::signal(SIGPIPE, SIG_IGN);

  qmx::soak::SoakServer server;
  if (!server.Prepare(kSourceLine, options.keep, &error) ||
      !server.Start(options.qmxd, &error)) {
    std::fprintf(stderr, "qmx-soak: %s\n", error.c_str());
    return 1;
  }
  std::printf("qmx-soak: %s (pid %d) in %s for %d s\n", options.qmxd.c_str(),
              server.pid(), server.folder().c_str(), options.seconds);
  std::fflush(stdout);
  // The server serves once its control line greets; its figures then, with
  // that one session, are the ones it must return to.
  Tally tally;
  auto control = std::make_unique<qmx::load::ControlSession>(
      server.controlPort(), std::chrono::milliseconds(20000));
  if (!control->connected()) {
    std::fprintf(stderr, "qmx-soak: the server does not serve\n%s",
                 server.StderrTail(4000).c_str());
    return 1;
  }
  tally.start = qmx::load::SampleServer(server.pid());
  tally.last = tally.start;
  qmx::soak::RunMix(options, server, tally, control,
                    [&](int elapsed) { PrintProgress(elapsed, tally); });
  if (!control)
    control = std::make_unique<qmx::load::ControlSession>(
        server.controlPort(), std::chrono::milliseconds(20000));

  // Clients that closed after ending their input are let go when the next
  // client comes: one more, gone at once, on every data line.
  for (int L = 1; L <= 8; ++L)
    qmx::load::ReleaseEndedClient(server.port(L), std::chrono::milliseconds(2000));
  const ServerFigures final = SettledFigures(server.pid(), tally.start);
  control.reset();
  PrintReport(tally, final, options.seconds);
  const auto stopping = Clock::now();
  const int status = server.Terminate(std::chrono::seconds(30));
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping)
          .count();
  std::printf("  SIGTERM                exit status %d after %lld ms\n", status,
              static_cast<long long>(took));

  const bool passed = tally.bytesLost.load() == 0 && tally.ErrorCount() == 0 &&
                      final.descriptors == tally.start.descriptors &&
                      final.threads == tally.start.threads && status == 0;
  if (status != 0) std::printf("%s", server.StderrTail(4000).c_str());
  std::printf("result: %s\n", passed ? "PASS" : "FAIL");
  return passed ? 0 : 1;
}
