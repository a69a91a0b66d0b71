// Command-line options of qmxd and qmx: how the server meets the network.
// The working folder and its qmx.txt stay the configuration of the lines.
//
//   --listen ADDR        listen on this address only (repeatable)
//   --allow NET          serve only peers inside one of these nets (repeatable)
//   --control-allow NET  the same for the control line, replacing --allow there
//   --lines N            data lines the server has (8-64, default 8)
//   --rfc2217 LINES      data lines that speak RFC 2217: 1-64, "1,3,5" or "all"
//   --control-clients N  control clients served at once (1-16, default 1)
//   --control-idle SECS  close a control client that completes no command
//                        for that long (0, the default: never)
//   --metrics ADDR:PORT  (qmxd) serve the counters over HTTP for Prometheus
//   --tls LINES          lines that speak TLS: "control,1,2" or "all"
//   --tls-cert FILE, --tls-key FILE, --tls-client-ca FILE  (PEM)
//   --control-operators NAMES|@FILE  certificate names that may change things
//   -h, --help, -V, --version
//   --check              (qmxd) check qmx.txt and exit
//
// A value may follow as the next argument or after "=" ("--listen=::1").
// ParseServerOptions, ParseRfc2217Lines, UsageText, VersionText and
// NetworkSummary are pure and may run on any thread. ApplyNetworkOptions hands
// the result to the socket layer; the program calls it once, on its main
// thread, before the server starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/net_access.h"
#include "platform/line_counts.h"

namespace qmx {

class SocketLayer;

struct ServerOptions {
  std::vector<IpAddress> listen;  // empty: all addresses
  std::vector<IpNet> allow;       // empty: everyone
  std::vector<IpNet> controlAllow;
  bool controlAllowGiven = false;
  // Files of nets (--allow @FILE, --control-allow @FILE), one a line, read
  // at start and again on each reload (LoadAccessSettings).
  std::vector<std::string> allowFiles;
  std::vector<std::string> controlAllowFiles;
  // --control-operators as given: "alice,bob" or "@FILE".
  bool controlOperatorsGiven = false;
  std::string controlOperators;
  int dataLines = kDefaultDataLines;  // --lines
  uint64_t rfc2217Lines = 0;          // bit L-1 set: data line L speaks RFC 2217
  int controlClients = 1;
  int controlIdleSeconds = 0;
  // Lines that speak TLS (bit 0 the control line, bit L data line L), the
  // server's certificate and key, and the CA client certificates must chain
  // to ("" for none: no client certificate asked for).
  LineSet tlsLines;
  std::string tlsCert;
  std::string tlsKey;
  std::string tlsClientCa;
  bool check = false;  // qmxd --check: check the settings, serve nothing
  // qmxd --metrics: where the metrics page listens.
  bool metricsGiven = false;
  IpAddress metricsAddress;
  uint16_t metricsPort = 0;
  // The window program only: arguments that are not its own, left for Qt
  // (such as "-platform offscreen"), in their order.
  std::vector<std::string> foreign;
};

// What the program does after parsing.
struct OptionOutcome {
  bool run = false;    // serve with the parsed options
  int exitStatus = 0;  // when not run: 0 after --help or --version, 2 on a bad option
  std::string output;  // text for standard output (usage, version)
  std::string error;   // one line for standard error, ending in a line feed
};

inline constexpr int kBadOptionStatus = 2;
// The settings cannot be served (EX_CONFIG of sysexits.h): qmx.txt cannot be
// read, the control line cannot listen, or --check found a problem.
inline constexpr int kConfigStatus = 78;

// Parses `args` (the arguments after the program name). `program` names the
// program in messages ("qmxd"). With `leaveForeign` (the window program),
// arguments that are not its own options go to options->foreign instead of
// being an error; a bad value of one of its own options is still an error.
OptionOutcome ParseServerOptions(std::string_view program,
                                 const std::vector<std::string>& args, bool leaveForeign,
                                 ServerOptions* options);

// "127.0.0.1:9400" or "[::1]:9400" (a port may be a service name) to an
// address and a port in host order.
bool ParseEndpoint(std::string_view text, IpAddress* address, uint16_t* port);

// The other way: "127.0.0.1:9400", "[::1]:9400".
std::string FormatEndpoint(const IpAddress& address, uint16_t port);

// "control,1,2" or "all" to a set of lines (bit 0 the control line, bit L
// data line L).
bool ParseTlsLines(std::string_view text, LineSet* lines);

// "3", "1,3,12" or "all" to a set of data lines (bit L-1 for line L; "all"
// sets every bit).
bool ParseRfc2217Lines(std::string_view text, uint64_t* lines);

// "1,3,12" for a set of lines, "all" when it has all `dataLines` lines, ""
// for none.
std::string FormatRfc2217Lines(uint64_t lines, int dataLines);

std::string UsageText(std::string_view program, bool window);
std::string VersionText(std::string_view program);  // "qmxd 2.1.0\n"

// One line for the window saying how the server meets the network when that
// differs from the default ("Listening on 127.0.0.1, ::1; RFC 2217 on data
// lines 1,3"); empty for the default.
std::string NetworkSummary(const ServerOptions& options);

// Gives the listen addresses, allow-lists and the control line's session
// limits to the socket layer and checks
// that every listen address can be bound on this host. Returns true, or false
// with "cannot listen on 192.0.2.77: Cannot assign requested address" in
// *failure; nothing has been served either way.
bool ApplyNetworkOptions(const ServerOptions& options, SocketLayer& net,
                         std::string* failure);

// Who may connect and who may operate, as files and options say now: the
// allow-lists (the nets given plus those of the files) and the operators.
struct AccessSettings {
  std::vector<IpNet> allow;
  std::vector<IpNet> controlAllow;
  bool controlAllowGiven = false;
  std::optional<std::vector<std::string>> operators;
};

// Reads the files the options name. False, with "FILE line 3: not a net ..."
// or "FILE: No such file or directory" in *failure, when one cannot be used;
// a file that lists no net fails too, as an empty list would admit everyone.
bool LoadAccessSettings(const ServerOptions& options, AccessSettings* settings,
                        std::string* failure);

// LoadAccessSettings, then hands the result to the socket layer; on a
// failure nothing changes. At start, after ApplyNetworkOptions, and on each
// reload (clients connected keep their sessions).
bool ApplyAccessSettings(const ServerOptions& options, SocketLayer& net,
                         std::string* failure);

}  // namespace qmx
