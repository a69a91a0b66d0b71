// The servers under measurement, started and stopped by the benchmark.
//
// Each is given N pseudo-terminals (by slave path; eight in the usual run,
// up to 64) and N free TCP ports, and serves line k by relaying TCP port k to
// pseudo-terminal k:
//   qmxd   one process, in a fresh temporary directory holding a generated
//          qmx.txt and links com1..comN to the pseudo-terminals; started
//          with --lines N when N is above eight;
//   socat  N processes, "TCP-LISTEN:port,reuseaddr,nodelay" to
//          "OPEN:pty,rawer", each serving one connection.
// Given a TLS identity, line 1 speaks TLS with it: qmxd gets --tls 1, and
// socat's line 1 listens with "OPENSSL-LISTEN:port,cert=...,key=...,verify=0,
// reuseaddr,nodelay" instead.
// Output of the servers goes to files in the temporary directory, which is
// removed when the relay is stopped.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace qmx::bench {

// The certificate and key (PEM files) of a server's TLS line.
struct TlsIdentity {
  std::string certificateFile;
  std::string keyFile;
};

struct Relay {
  std::string name;           // "qmx" or "socat"
  std::string workDirectory;  // temporary, removed by StopRelay
  std::vector<pid_t> pids;
  std::vector<int> dataPorts;  // TCP port of line 1..N
  std::vector<std::string> logs;
};

// A TCP port nobody listens on now, different from every port handed out
// before by this process.
int FreeTcpPort();

// The settings file that bridges data line k (TCP port dataPorts[k-1]) to
// port comk at 115200,n,8,1 without flow control; the control line listens on
// controlPort. CR LF line ends, nineteen lines for up to eight data lines;
// each further one adds two: its line, then its port's settings.
std::string QmxSettingsText(int controlPort, const std::vector<int>& dataPorts);

bool StartQmx(const std::string& qmxdPath, const std::vector<std::string>& ptyPaths,
              Relay* relay, std::string* error, const TlsIdentity* tls = nullptr);
bool StartSocat(const std::string& socatPath, const std::vector<std::string>& ptyPaths,
                Relay* relay, std::string* error, const TlsIdentity* tls = nullptr);

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
