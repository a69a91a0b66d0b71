// What a server has done since it started, as one snapshot: the figures the
// control line's `stats` command, the metrics page and the window show.
//
// The counters themselves live where the bytes and events pass (each line's
// record in the socket layer, each port's record in the serial driver), as
// relaxed atomics added to once per chunk or event, so keeping them costs no
// lock and no system call. CollectStats reads them together with the texts
// the engine lock guards; the figures of one snapshot are each exact, but
// bytes still moving while it is taken may show on one counter and not yet
// on another.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/line_table.h"

namespace qmx {

struct ClientStats {
  std::string address;  // how the logs name it ("192.0.2.9")
  std::chrono::system_clock::time_point since;
  uint64_t bytesToDevice = 0;  // what it sent
  uint64_t bytesToClient = 0;  // what it was sent
};

struct LineStats {
  int line = 0;            // 0 the control line
  int tcpPort = 0;         // the port it listens on, 0 while it does not
  std::string serialPort;  // the port whose bytes it gets ("com1"), "" for none
  // Every byte its clients sent, and every byte handed to their sockets
  // (Telnet escapes included on a remote-control line).
  uint64_t bytesToDevice = 0;
  uint64_t bytesToClient = 0;
  uint64_t accepted = 0;  // clients admitted
  uint64_t refused = 0;   // clients turned away by the allow-list
  // Clients the server dropped: they took nothing for the stall limit (or a
  // copy fell too far behind), keep-alive found them gone, or they were idle
  // too long.
  uint64_t dropsStalled = 0;
  uint64_t dropsKeepalive = 0;
  uint64_t dropsIdle = 0;
  std::vector<ClientStats> clients;  // connected now
};

// The kernel's line counters of a port's device, counted while the server
// held it.
struct LineErrorStats {
  uint64_t frame = 0;
  uint64_t parity = 0;
  uint64_t overrun = 0;
  uint64_t brk = 0;
  uint64_t bufferOverrun = 0;
};

struct PortStats {
  int index = 0;     // port index n (data line n + 1)
  std::string name;  // "com1"
  PortState state = PortState::kClosed;
  uint64_t bytesToDevice = 0;    // what the device took
  uint64_t bytesFromDevice = 0;  // what it sent
  uint64_t deviceLosses = 0;     // times the device went away while open
  uint64_t deviceReturns = 0;    // times it came back
  // False where the device keeps no line counters (a pseudo-terminal): the
  // counters are then absent, not zero.
  bool lineErrorsKnown = false;
  LineErrorStats lineErrors;
};

struct ServerStats {
  std::chrono::system_clock::time_point startTime;
  std::vector<LineStats> lines;  // the control line and every data line, in order
  std::vector<PortStats> ports;  // every port that has a name, in order
};

ServerStats CollectStats(LineTable& table) REQUIRES(table.engineLock);

// One line for a service manager's status: "8 lines, 3 clients, 1 port
// waiting for its device" (data lines that listen, clients of every line,
// ports that wait for their device; the last part only when there is one).
std::string StatsSummary(const ServerStats& stats);

// "open", "closed" or "waiting" (for its device).
const char* PortStateName(PortState state);

// "2026-12-09T02:36:12Z": a time in UTC, to the second.
std::string Iso8601Utc(std::chrono::system_clock::time_point time);

}  // namespace qmx
