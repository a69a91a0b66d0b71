// The servers under measurement, started and stopped by the benchmark.
//
// Each is given eight pseudo-terminals (by slave path) and eight free TCP
// ports, and serves line k by relaying TCP port k to pseudo-terminal k:
//   qmxd   one process, in a fresh temporary directory holding a generated
//          qmx.txt and links com1..com8 to the pseudo-terminals;
//   socat  eight processes, "TCP-LISTEN:port,reuseaddr,nodelay" to
//          "OPEN:pty,rawer", each serving one connection.
// Output of the servers goes to files in the temporary directory, which is
// removed when the relay is stopped.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qmx::bench {

struct Relay {
  std::string name;           // "qmx" or "socat"
  std::string workDirectory;  // temporary, removed by StopRelay
  std::vector<pid_t> pids;
  std::vector<int> dataPorts;  // TCP port of line 1..8
  std::vector<std::string> logs;
};

// A TCP port nobody listens on now, different from every port handed out
// before by this process.
int FreeTcpPort();

// The settings file that bridges data line k (TCP port dataPorts[k-1]) to
// port comk at 115200,n,8,1 without flow control; the control line listens on
// controlPort. CR LF line ends, nineteen lines.
std::string QmxSettingsText(int controlPort, const std::vector<int>& dataPorts);

bool StartQmx(const std::string& qmxdPath, const std::vector<std::string>& ptyPaths,
              Relay* relay, std::string* error);
bool StartSocat(const std::string& socatPath, const std::vector<std::string>& ptyPaths,
                Relay* relay, std::string* error);

// SIGTERM, then SIGKILL after five seconds. Returns a note about a server
// that did not end cleanly, or an empty string.
std::string StopRelay(Relay* relay);

// A description of the first server process that has ended ("qmxd exited
// with status 1"), or an empty string while all run. Does not reap them.
std::string RelayEnded(const Relay& relay);

// The tail of the servers' output, for a failure report.
std::string RelayLogTail(const Relay& relay);

// Connects to 127.0.0.1:port with TCP_NODELAY, retrying until the server
// listens, `seconds` have passed or `giveUp` says so. Returns the descriptor
// (non-blocking) or -1. *localPort is the client's own port.
int ConnectClient(int port, double seconds, const std::function<bool()>& giveUp,
                  int* localPort);

// The path of `program` found on PATH, or an empty string.
std::string FindOnPath(const std::string& program);

}  // namespace qmx::bench
