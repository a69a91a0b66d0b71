// The command line of qmx-soak.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmx::soak {

inline constexpr const char* kUsage =
    "usage: qmx-soak [--seconds N] [--window BYTES] [--stall-every N]\n"
    "                [--report-every N] [--qmxd PATH] [--keep]\n"
    "\n"
    "Starts qmxd in a temporary folder with eight echo devices and runs a mix\n"
    "of load and faults against it for N seconds (default 60):\n"
    "  lines 1-4  echo streams that must come back whole\n"
    "  line 5     connects and disconnects of every kind, with probes\n"
    "  line 6     a talking device whose client stops reading now and then\n"
    "  line 7     a device that vanishes mid-stream and comes back\n"
    "  line 8     its port closed and opened again while a client uses it\n"
    "  control    status in a loop, and garbage\n"
    "Then it prints what was relayed and lost, the errors, and the server's\n"
    "descriptors, threads and resident memory; exit status 0 when nothing was\n"
    "lost, nothing failed, and the server let go of every descriptor and\n"
    "thread and exited 0 on SIGTERM.\n"
    "\n"
    "  --window BYTES     most bytes an echo stream has in flight (1048576)\n"
    "  --stall-every N    seconds between stalled clients on line 6; 0: none (120)\n"
    "  --report-every N   seconds between progress lines; 0: none (10)\n"
    "  --qmxd PATH        the server to run (default: qmxd beside qmx-soak)\n"
    "  --keep             keep the temporary folder\n";

struct Options {
  int seconds = 60;
  uint64_t window = 1 << 20;
  int stallEvery = 120;
  int reportEvery = 10;
  std::string qmxd;
  bool keep = false;
  bool help = false;
};

// False with the reason in `error` when the arguments are not understood.
bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error);

}  // namespace qmx::soak
