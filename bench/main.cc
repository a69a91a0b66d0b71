// qmx-bench: QMX against a plain relay, in one run.
//
// For each server (qmxd and socat) it creates eight pseudo-terminal pairs,
// starts the server on them with eight free TCP ports and connects one
// client per line; then it measures the servers side by side: throughput of
// one line each way, of all eight lines both ways at once, round trips of 1
// and 64 bytes through an echo device, the server's CPU time per megabyte
// relayed, its CPU time while idle with every client connected, and its peak
// memory. Then, unless told not to, the same servers serve one line with TLS
// each, on processes of their own, and the benchmark measures that line's
// throughput, round trips and CPU time per megabyte through its own TLS
// client. Every byte is checked on arrival. Prints the table (and writes it
// as JSON on request); exits 1 when any byte went missing or arrived changed,
// 2 when a server could not be measured at all.
//
// With --lines N (above eight) each server gets N lines instead, and the run
// measures every line at once: throughput of all lines both ways, polling on
// every line, idle CPU, peak memory and threads (measure.h); no TLS rows.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench_options.h"
#include "measure.h"
#include "relay_process.h"
#include "report.h"
#include "tls_measure.h"

namespace {

std::string ProgramDirectory(const char* argv0) {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.parent_path().string();
  return std::filesystem::absolute(argv0).parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qmx::bench;
  BenchOptions options;
  std::string error;
  if (!ParseBenchOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                         &error)) {
    std::fprintf(stderr, "qmx-bench: %s\n\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // A server that drops a client must not end the benchmark; the failed
  // write is reported instead.
  ::signal(SIGPIPE, SIG_IGN);
  // The server is measured as it runs in service: trace off.
  ::unsetenv("QMX_TRACE");

  if (options.qmxdPath.empty()) options.qmxdPath = ProgramDirectory(argv[0]) + "/qmxd";
  if (options.socatPath.empty()) options.socatPath = FindOnPath("socat");
  if (options.runQmx && ::access(options.qmxdPath.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "qmx-bench: no qmxd at %s (build it, or give --qmxd)\n",
                 options.qmxdPath.c_str());
    return 2;
  }
  if (options.runSocat &&
      (options.socatPath.empty() || ::access(options.socatPath.c_str(), X_OK) != 0)) {
    std::fprintf(stderr,
                 "qmx-bench: socat not found; install it (apt-get install socat, which "
                 "`make bench` does) or give --socat\n");
    return 2;
  }

  std::vector<ServerToMeasure> servers;
  if (options.runQmx) servers.push_back({"qmx", options.qmxdPath});
  if (options.runSocat) servers.push_back({"socat", options.socatPath});
  std::vector<RelayFigures> relays = MeasureServers(servers, options);
  if (options.runTls) MeasureTls(servers, options, &relays);
  const RelayFigures* qmx = options.runQmx ? &relays.front() : nullptr;
  const RelayFigures* socat = options.runSocat ? &relays.back() : nullptr;

  const std::vector<Row> rows = BuildRows(qmx, socat);
  std::printf("\n%s", FormatTable(rows, relays).c_str());
  std::fflush(stdout);
  if (!options.jsonPath.empty()) {
    std::ofstream out(options.jsonPath, std::ios::binary | std::ios::trunc);
    out << FormatJson(rows, relays, options);
    if (!out) {
      std::fprintf(stderr, "qmx-bench: cannot write %s\n", options.jsonPath.c_str());
      return 2;
    }
  }

  int status = 0;
  for (const RelayFigures& relay : relays) {
    if (!relay.measured || (relay.tls.run && !relay.tls.measured)) status = 2;
    const bool faults = (relay.measured && !relay.faults.empty()) ||
                        (relay.tls.measured && !relay.tls.faults.empty());
    if (faults && status == 0) status = 1;
  }
  return status;
}
