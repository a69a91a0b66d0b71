// The servers measured side by side. Each gets its lines (eight, or as many
// as --lines says) with pseudo-terminal devices and a connected client per
// line; all of them run for the whole measurement, and every step takes the
// servers in turn (throughput runs alternate, round trips alternate in
// blocks, the idle time is the same ten seconds for all), so a load that
// comes and goes on the machine falls on all of them alike.
//
// With eight lines the run has every step. With more it is the many-line
// run: all lines streaming both ways at once, polling on every line, idle
// CPU, peak memory and threads; the steps that measure one line against the
// rest are left out.
#pragma once

#include <string>
#include <vector>

#include "bench_options.h"

namespace qmx::bench {

// One line with TLS on a server of its own (see tls_measure.h).
struct TlsFigures {
  bool run = false;       // the TLS comparison was part of this run
  bool measured = false;  // false: setupError says why
  std::string setupError;
  std::string protocol;  // what the handshake settled on, e.g. "TLSv1.3"
  std::string cipher;

  // Median over the repeated runs.
  double toDeviceMbs = 0;
  double toClientMbs = 0;
  double relayedMb = 0;
  double cpuMsPerMb = 0;  // over all its throughput runs

  double rtt1Median = 0, rtt1P99 = 0;
  double rtt64Median = 0, rtt64P99 = 0;
  size_t rtt1Count = 0, rtt64Count = 0;

  std::vector<std::string> faults;
  std::vector<std::string> notes;
};

struct RelayFigures {
  std::string name;
  int lines = kUsualLines;
  bool measured = false;  // false: setupError says why
  std::string setupError;

  // Median over the repeated runs.
  double oneLineToDeviceMbs = 0;
  double oneLineToClientMbs = 0;
  double allLinesMbs = 0;  // every line, both directions at once
  double relayedMb = 0;    // all throughput runs together

  double rtt1Median = 0, rtt1P99 = 0;
  double rtt64Median = 0, rtt64P99 = 0;
  size_t rtt1Count = 0, rtt64Count = 0;

  // Busy: round trips on line 1 while lines 2-8 stream both ways.
  double busy1Median = 0, busy1P99 = 0;
  double busy64Median = 0, busy64P99 = 0;
  size_t busyCount = 0;

  // Polling: every line doing round trips of 16-byte messages at once.
  double pollMessagesPerSecond = 0;
  double pollP99 = 0;
  size_t pollCount = 0;

  // Over all throughput runs together.
  double cpuMsPerMb = 0;
  double contextSwitchesPerMb = 0;
  double systemCallsPerMb = 0;  // read-like + write-like calls

  double idleCpuPercent = 0;
  double idleWakeupsPerSecond = 0;
  int threads = 0;

  double peakResidentMb = 0;
  // SIGTERM to the last process's exit while all eight lines stream both
  // ways; -1 when it did not end within five seconds.
  double stopUnderLoadMs = 0;

  int noDelaySockets = 0;
  int clientSockets = 0;
  std::string noDelayNote;  // set when the check could not be made

  std::vector<std::string> faults;  // lost, extra or changed bytes, and the like
  std::vector<std::string> notes;   // runs cut short, unclean ends

  TlsFigures tls;
};

struct ServerToMeasure {
  std::string name;     // "qmx" or "socat"
  std::string program;  // the qmxd or socat executable
};

// One RelayFigures per server, in the same order.
std::vector<RelayFigures> MeasureServers(const std::vector<ServerToMeasure>& servers,
                                         const BenchOptions& options);

}  // namespace qmx::bench
