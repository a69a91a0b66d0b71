#include "bench_options.h"

#include <charconv>
#include <string_view>

namespace qmx::bench {

const char* const kUsage =
    "usage: qmx-bench [options]\n"
    "\n"
    "Measures qmxd and socat relaying pseudo-terminals with echo devices to TCP,\n"
    "in one run, and prints one table: the figure of each, and their ratio.\n"
    "Then the same for one line with TLS on each (rows marked TLS).\n"
    "MB means 10^6 bytes.\n"
    "\n"
    "  --quick             short runs, for a quick look\n"
    "  --lines N           data lines per server, 8 to 64 (default 8); above 8,\n"
    "                      every line at once: total throughput, polling, idle\n"
    "                      CPU, memory and threads only, no TLS rows\n"
    "  --json FILE         also write the table as JSON to FILE\n"
    "  --mb N              megabytes per direction on one line (default 32)\n"
    "  --stream-mb N       megabytes per stream in the all-lines run (default 8;\n"
    "                      with --lines N, 64/N: the same total)\n"
    "  --round-trips N     round trips per message size (default 5000)\n"
    "  --repeat N          runs of each throughput measurement, median shown\n"
    "                      (default 3)\n"
    "  --idle-seconds N    length of the idle measurement (default 10)\n"
    "  --send-window N     longest sending time of one throughput run, seconds\n"
    "                      (default 10)\n"
    "  --only qmx|socat    measure one server only (no ratios)\n"
    "  --no-tls            leave out the TLS line's rows\n"
    "  --qmxd PATH         the server to measure (default: qmxd next to qmx-bench)\n"
    "  --socat PATH        the reference relay (default: socat on PATH)\n"
    "  -h, --help          this text\n";

namespace {

bool ParseNumber(std::string_view text, double* value) {
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, *value);
  return error == std::errc() && next == end && *value > 0;
}

}  // namespace

bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions* options,
                       std::string* error) {
  bool streamMbGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      options->help = true;
      continue;
    }
    if (arg == "--no-tls") {
      options->runTls = false;
      continue;
    }
    if (arg == "--quick") {
      options->oneLineMb = 8;
      options->perStreamMb = 2;
      options->roundTrips = 1000;
      options->repeat = 1;
      options->idleSeconds = 3;
      options->sendWindowSeconds = 4;
      continue;
    }
    // Every other option takes a value.
    if (i + 1 >= args.size()) {
      *error = arg.starts_with("--") ? arg + " wants a value" : "unknown argument " + arg;
      return false;
    }
    const std::string& value = args[++i];
    double number = 0;
    if (arg == "--json") {
      options->jsonPath = value;
    } else if (arg == "--qmxd") {
      options->qmxdPath = value;
    } else if (arg == "--socat") {
      options->socatPath = value;
    } else if (arg == "--only") {
      if (value != "qmx" && value != "socat") {
        *error = "--only wants qmx or socat";
        return false;
      }
      options->runQmx = value == "qmx";
      options->runSocat = value == "socat";
    } else if (arg == "--lines") {
      if (!ParseNumber(value, &number) || number != static_cast<int>(number) ||
          number < kUsualLines || number > kMostLines) {
        *error = "--lines wants a whole number from 8 to 64, not " + value;
        return false;
      }
      options->lines = static_cast<int>(number);
    } else if (arg == "--mb" || arg == "--stream-mb" || arg == "--round-trips" ||
               arg == "--repeat" || arg == "--idle-seconds" || arg == "--send-window") {
      if (!ParseNumber(value, &number)) {
        *error = arg + " wants a positive number, not " + value;
        return false;
      }
      if (arg == "--mb") options->oneLineMb = number;
      if (arg == "--stream-mb") {
        options->perStreamMb = number;
        streamMbGiven = true;
      }
      if (arg == "--round-trips") options->roundTrips = static_cast<int>(number);
      if (arg == "--repeat") options->repeat = static_cast<int>(number);
      if (arg == "--idle-seconds") options->idleSeconds = number;
      if (arg == "--send-window") options->sendWindowSeconds = number;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (options->roundTrips < 1 || options->repeat < 1) {
    *error = "--round-trips and --repeat want at least 1";
    return false;
  }
  if (options->lines > kUsualLines) {
    options->runTls = false;
    if (!streamMbGiven)
      options->perStreamMb = options->perStreamMb * kUsualLines / options->lines;
  }
  return true;
}

}  // namespace qmx::bench
