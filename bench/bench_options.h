// Command line of qmx-bench. Parsing is pure: it reads the arguments and
// fills BenchOptions, or says what is wrong.
#pragma once

#include <string>
#include <vector>

namespace qmx::bench {

struct BenchOptions {
  // Megabytes (10^6 bytes) sent in each direction of the one-line runs.
  double oneLineMb = 32;
  // Megabytes sent by each of the sixteen streams of the eight-line run.
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
  bool help = false;
};

extern const char* const kUsage;

// Fills `options` from the arguments (without the program name). Returns
// false and sets `error` for an unknown option or a bad value.
bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions* options,
                       std::string* error);

}  // namespace qmx::bench
