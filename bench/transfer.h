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

#include "stream_end.h"

namespace qmx::bench {

struct Stream {
  std::string label;  // for the fault report, e.g. "line 3 device to client"
  int writeFd = -1;
  int readFd = -1;
  uint64_t bytes = 0;  // how many to send
  // When set, used in place of writeFd or readFd (a TLS client session).
  StreamEnd* writeEnd = nullptr;
  StreamEnd* readEnd = nullptr;
};

struct TransferLimits {
  double sendWindowSeconds = 10;  // sending stops after this; the rest is not sent
  double stallSeconds = 5;        // no byte arriving for this long ends the run
  // A stream is never further ahead of its reader than this. Far more than
  // any relay buffers, so it does not hold a fast one back; but a slow one
  // empties its line in bounded time once the send window has closed.
  uint64_t maxInFlight = 1 << 20;
  // A stream writes only once this many bytes fit under maxInFlight (or all
  // it has left, when that is less). Once a line is full, room comes back as
  // the reader takes what the device gives, a few kB at a time; a TLS client
  // that wrote whenever a byte fitted would send records of that size.
  uint64_t writeAtLeast = 1;
};

struct StreamOutcome {
  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t differing = 0;  // received bytes unlike the ones sent there
  uint64_t firstDiffering = UINT64_MAX;
  // The first differing bytes in detail, for the fault report: their
  // positions (up to sixteen), and the bytes expected and got around the
  // first, with the read that brought it and where in the sequence the bytes
  // got belong.
  std::vector<uint64_t> differingAt;
  std::string firstDifference;
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

// Waits `seconds` and reports any byte that arrives on `fds` (or `ends`)
// meanwhile; the lines must be quiet after a run that accounted for every
// byte.
std::string ExpectQuiet(const std::vector<int>& fds, double seconds);
std::string ExpectQuiet(const std::vector<int>& fds, const std::vector<StreamEnd*>& ends,
                        double seconds);

}  // namespace qmx::bench
