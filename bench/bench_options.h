// Command line of qmx-bench. Parsing is pure: it reads the arguments and
// fills BenchOptions, or says what is wrong.
#pragma once

#include <string>
#include <vector>

namespace qmx::bench {

// The line count of the usual run, which has the full set of rows.
inline constexpr int kUsualLines = 8;
inline constexpr int kMostLines = 64;

struct BenchOptions {
  // Data lines of each server. With more than kUsualLines the run is the
  // many-line one (measure.h): all lines at once, and fewer rows.
  int lines = kUsualLines;
  // Megabytes (10^6 bytes) sent in each direction of the one-line runs.
  double oneLineMb = 32;
  // Megabytes sent by each stream (two per line) of the all-lines run. With
  // more lines and no --stream-mb, the eight-line volume spread over them.
  double perStreamMb = 8;
  // Round trips measured per message size (after a short warm-up).
  int roundTrips = 5000;
  // Each throughput run is made this many times per server, the servers
  // taking turns; the table shows the median.
  int repeat = 3;
  // Length of the idle measurement.
  double idleSeconds = 10;
  // Upper bound on the sending time of one throughput run; a server too slow
  // to take the whole volume in this time is measured on what it took.
  double sendWindowSeconds = 10;
  std::string jsonPath;   // empty: no JSON file
  std::string qmxdPath;   // empty: qmxd next to this program
  std::string socatPath;  // empty: socat on PATH
  bool runQmx = true;
  bool runSocat = true;
  // The TLS comparison: one line with TLS on each server (tls_measure.h).
  bool runTls = true;
  bool help = false;
};

extern const char* const kUsage;

// Fills `options` from the arguments (without the program name). Returns
// false and sets `error` for an unknown option or a bad value.
bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions* options,
                       std::string* error);

}  // namespace qmx::bench
