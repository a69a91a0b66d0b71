// Moving bytes through a server as fast as it takes them, and checking every
// byte that comes out.
//
// A stream writes a fixed pseudo-random byte sequence into one descriptor (a
// client socket or a pseudo-terminal master) and reads it back from the
// other end of the same line. All streams of a run go at once, driven by one
// poll loop on this thread, so the benchmark's own cost is the same whatever
// server it measures. Each stream starts at its own place in the sequence: a
// byte that went to the wrong line, was lost, doubled or changed makes the
// comparison fail from that byte on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmx::bench {

struct Stream {
  std::string label;  // for the fault report, e.g. "line 3 device to client"
  int writeFd = -1;
  int readFd = -1;
  uint64_t bytes = 0;  // how many to send
};

struct TransferLimits {
  double sendWindowSeconds = 10;  // sending stops after this; the rest is not sent
  double stallSeconds = 5;        // no byte arriving for this long ends the run
  // A stream is never further ahead of its reader than this. Far more than
  // any relay buffers, so it does not hold a fast one back; but a slow one
  // empties its line in bounded time once the send window has closed.
  uint64_t maxInFlight = 1 << 20;
};

struct StreamOutcome {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t differing = 0;  // received bytes unlike the ones sent there
  uint64_t firstDiffering = UINT64_MAX;
  double lastByteSeconds = 0;  // from the start of the run
};

struct TransferOutcome {
  std::vector<StreamOutcome> streams;
  double seconds = 0;  // start to the last byte of any stream
  uint64_t received = 0;
  bool cutShort = false;  // the send window ended before all was sent
  std::string fault;      // empty when every byte sent arrived intact
  double MegabytesPerSecond() const;
};

TransferOutcome RunTransfer(const std::vector<Stream>& streams,
                            const TransferLimits& limits);

// Waits `seconds` and reports any byte that arrives on `fds` meanwhile; the
// lines must be quiet after a run that accounted for every byte.
std::string ExpectQuiet(const std::vector<int>& fds, double seconds);

}  // namespace qmx::bench
