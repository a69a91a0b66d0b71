#include "options/server_options.h"

#include <algorithm>
#include <optional>

#include "platform/line_counts.h"

#ifndef QMX_VERSION
#define QMX_VERSION "0"
#endif

namespace qmx {
namespace {

// The options that take a value.
enum class ValueOption {
  kListen,
  kAllow,
  kControlAllow,
  kRfc2217,
  kMetrics,
  kControlClients,
  kControlIdle,
  kTls,
  kTlsCert,
  kTlsKey,
  kTlsClientCa,
  kControlOperators,
  kLines
};

// A whole decimal number from `low` to `high`.
bool ParseCount(std::string_view text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9) return false;
  int number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + (c - '0');
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

// `daemon`: the options of qmxd alone are known too.
std::optional<ValueOption> FindValueOption(std::string_view name, bool daemon) {
  if (name == "--metrics" && daemon) return ValueOption::kMetrics;
  if (name == "--listen") return ValueOption::kListen;
  if (name == "--allow") return ValueOption::kAllow;
  if (name == "--control-allow") return ValueOption::kControlAllow;
  if (name == "--rfc2217") return ValueOption::kRfc2217;
  if (name == "--control-clients") return ValueOption::kControlClients;
  if (name == "--tls") return ValueOption::kTls;
  if (name == "--tls-cert") return ValueOption::kTlsCert;
  if (name == "--tls-key") return ValueOption::kTlsKey;
  if (name == "--tls-client-ca") return ValueOption::kTlsClientCa;
  if (name == "--control-idle") return ValueOption::kControlIdle;
  if (name == "--control-operators") return ValueOption::kControlOperators;
  if (name == "--lines") return ValueOption::kLines;
  return std::nullopt;
}

// A value as it may be shown in a one-line message: control bytes and
// anything beyond ASCII escaped, an empty value as "".
std::string Shown(std::string_view text) {
  if (text.empty()) return "\"\"";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "'";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out + "'";
}

bool IsUnspecified(const IpAddress& address) {
  const size_t size = address.family == 4 ? 4 : 16;
  return std::all_of(address.bytes.begin(),
                     address.bytes.begin() + static_cast<long>(size),
                     [](uint8_t b) { return b == 0; });
}

// Why `address` cannot join the listen addresses already taken, or "".
// Two sockets of one family cannot share a port when one of them is bound to
// the unspecified address, so such a pair would fail every line at start.
std::string ListenConflict(const std::vector<IpAddress>& taken,
                           const IpAddress& address) {
  for (const IpAddress& other : taken) {
    if (other == address) return "is given twice";
    if (other.family != address.family) continue;
    if (IsUnspecified(other)) return "is already covered by " + FormatIpAddress(other);
    if (IsUnspecified(address))
      return "would cover " + FormatIpAddress(other) + " as well";
  }
  return "";
}

class Parser {
 public:
  Parser(std::string_view program, bool leaveForeign, ServerOptions* options)
      : program_(program), leaveForeign_(leaveForeign), options_(options) {}

  OptionOutcome Run(const std::vector<std::string>& args) {
    bool help = false;
    bool version = false;
    bool endOfOptions = false;
    for (size_t i = 0; i < args.size() && error_.empty(); ++i) {
      const std::string& arg = args[i];
      if (endOfOptions || !arg.starts_with("-") || arg == "-") {
        Foreign(arg, "unexpected argument " + Shown(arg));
        continue;
      }
      if (arg == "--") {
        endOfOptions = true;
        if (leaveForeign_) options_->foreign.push_back(arg);
        continue;
      }
      const size_t equals = arg.find('=');
      const std::string_view name = std::string_view(arg).substr(0, equals);
      if (arg == "-h" || arg == "-V") {
        (arg == "-h" ? help : version) = true;
        continue;
      }
      const bool check = name == "--check" && !leaveForeign_;
      if (name == "--help" || name == "--version" || check) {
        if (equals != std::string::npos) {
          Fail("option " + std::string(name) + " takes no value");
        } else if (check) {
          options_->check = true;
        } else {
          (name == "--help" ? help : version) = true;
        }
        continue;
      }
      const std::optional<ValueOption> option = FindValueOption(name, !leaveForeign_);
      if (!option) {
        Foreign(arg, "unknown option " + Shown(name));
        continue;
      }
      std::string value;
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        Fail("option " + std::string(name) + " needs a value");
        continue;
      }
      Take(*option, name, value);
    }

    if (error_.empty()) CheckLines();
    if (error_.empty()) CheckTls();
    OptionOutcome outcome;
    if (!error_.empty()) {
      outcome.exitStatus = kBadOptionStatus;
      outcome.error = std::string(program_) + ": " + error_ + " (see " +
                      std::string(program_) + " --help)\n";
    } else if (help) {
      outcome.output = UsageText(program_, leaveForeign_);
    } else if (version) {
      outcome.output = VersionText(program_);
    } else {
      outcome.run = true;
    }
    return outcome;
  }

 private:
  void Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
  }

  // Line numbers are checked once the number of lines is known, whichever
  // option came first; "all" means every line the server has.
  void CheckLines() {
    const int lines = options_->dataLines;
    const uint64_t own = lines >= 64 ? ~uint64_t{0} : (uint64_t{1} << lines) - 1;
    if (rfc2217All_) options_->rfc2217Lines = own;
    if (tlsAll_) {
      for (int L = 0; L <= lines; ++L) options_->tlsLines.set(static_cast<size_t>(L));
    }
    int highest = 0;
    for (int L = 1; L <= kMaxDataLines; ++L) {
      if ((options_->rfc2217Lines >> (L - 1)) & 1u ||
          options_->tlsLines[static_cast<size_t>(L)])
        highest = L;
    }
    if (highest > lines) {
      Fail("data line " + std::to_string(highest) + " is beyond the " +
           std::to_string(lines) + " data lines" +
           (lines == kDefaultDataLines ? std::string(" (see --lines)") : std::string()));
    }
  }

  // TLS needs a certificate and its key, and they mean nothing without it.
  void CheckTls() {
    const bool files = !options_->tlsCert.empty() || !options_->tlsKey.empty() ||
                       !options_->tlsClientCa.empty();
    if (options_->tlsLines.any() &&
        (options_->tlsCert.empty() || options_->tlsKey.empty())) {
      Fail("--tls needs --tls-cert and --tls-key");
    } else if (options_->tlsLines.none() && files) {
      Fail("--tls-cert, --tls-key and --tls-client-ca need --tls");
    } else if (options_->controlOperatorsGiven &&
               (!options_->tlsLines[0] || options_->tlsClientCa.empty())) {
      // Operators are told apart by their certificates alone.
      Fail("--control-operators needs --tls control and --tls-client-ca");
    }
  }

  void Foreign(const std::string& arg, std::string message) {
    if (leaveForeign_) {
      options_->foreign.push_back(arg);
    } else {
      Fail(std::move(message));
    }
  }

  void Take(ValueOption option, std::string_view name, const std::string& value) {
    const std::string prefix = std::string(name) + " " + Shown(value);
    switch (option) {
      case ValueOption::kListen: {
        IpAddress address;
        if (!ParseIpAddress(value, &address)) {
          Fail(prefix + ": not an IPv4 or IPv6 address of this host");
          return;
        }
        const std::string conflict = ListenConflict(options_->listen, address);
        if (!conflict.empty()) {
          Fail(prefix + ": " + conflict);
        } else if (options_->listen.size() >= kMaxListenAddresses) {
          Fail(prefix + ": at most " + std::to_string(kMaxListenAddresses) +
               " listen addresses");
        } else {
          options_->listen.push_back(address);
        }
        return;
      }
      case ValueOption::kAllow:
      case ValueOption::kControlAllow: {
        if (value.starts_with("@")) {
          // A file of nets, read at start and again on each reload.
          if (value.size() == 1) {
            Fail(prefix + ": needs a file name after @");
            return;
          }
          (option == ValueOption::kAllow ? options_->allowFiles
                                         : options_->controlAllowFiles)
              .push_back(value.substr(1));
          if (option == ValueOption::kControlAllow) options_->controlAllowGiven = true;
          return;
        }
        IpNet net;
        if (!ParseIpNet(value, &net)) {
          Fail(prefix + ": not a net such as 192.0.2.0/24, 10.0.0.1 or 2001:db8::/32");
          return;
        }
        if (option == ValueOption::kAllow) {
          options_->allow.push_back(net);
        } else {
          options_->controlAllow.push_back(net);
          options_->controlAllowGiven = true;
        }
        return;
      }
      case ValueOption::kControlOperators:
        if (value.empty() || value == "@") {
          Fail(prefix + ": needs names, or @ and a file of names");
          return;
        }
        options_->controlOperators = value;
        options_->controlOperatorsGiven = true;
        return;
      case ValueOption::kTls: {
        LineSet lines;
        if (!ParseTlsLines(value, &lines)) {
          Fail(prefix +
               ": not a list of lines such as control,1,2 (data lines 1-64), or all");
          return;
        }
        // "all" is every line the server has, known once all options are read.
        if (value == "all") {
          tlsAll_ = true;
        } else {
          options_->tlsLines |= lines;
        }
        return;
      }
      case ValueOption::kLines:
        if (!ParseCount(value, kDefaultDataLines, kMaxDataLines, &options_->dataLines))
          Fail(prefix + ": not a number of data lines from " +
               std::to_string(kDefaultDataLines) + " to " +
               std::to_string(kMaxDataLines));
        return;
      case ValueOption::kTlsCert:
      case ValueOption::kTlsKey:
      case ValueOption::kTlsClientCa:
        if (value.empty()) {
          Fail(std::string(name) + " needs a file name");
          return;
        }
        (option == ValueOption::kTlsCert  ? options_->tlsCert
         : option == ValueOption::kTlsKey ? options_->tlsKey
                                          : options_->tlsClientCa) = value;
        return;
      case ValueOption::kControlClients:
        if (!ParseCount(value, 1, kMaxControlClients, &options_->controlClients))
          Fail(prefix + ": not a number of clients from 1 to " +
               std::to_string(kMaxControlClients));
        return;
      case ValueOption::kControlIdle:
        if (!ParseCount(value, 0, 86400 * 365, &options_->controlIdleSeconds))
          Fail(prefix + ": not a number of seconds (0 for no limit)");
        return;
      case ValueOption::kMetrics:
        if (!ParseEndpoint(value, &options_->metricsAddress, &options_->metricsPort)) {
          Fail(prefix + ": not an address and port such as 127.0.0.1:9400 or [::1]:9400");
          return;
        }
        options_->metricsGiven = true;
        return;
      case ValueOption::kRfc2217: {
        uint64_t lines = 0;
        if (!ParseRfc2217Lines(value, &lines)) {
          Fail(prefix + ": not a data line 1-64, a list such as 1,3,5, or all");
          return;
        }
        if (value == "all") {
          rfc2217All_ = true;
        } else {
          options_->rfc2217Lines |= lines;
        }
        return;
      }
    }
  }

  std::string_view program_;
  bool leaveForeign_;
  ServerOptions* options_;
  std::string error_;
  bool rfc2217All_ = false;  // "all" given: every line the server has
  bool tlsAll_ = false;
};

}  // namespace

OptionOutcome ParseServerOptions(std::string_view program,
                                 const std::vector<std::string>& args, bool leaveForeign,
                                 ServerOptions* options) {
  *options = ServerOptions{};
  return Parser(program, leaveForeign, options).Run(args);
}

bool ParseEndpoint(std::string_view text, IpAddress* address, uint16_t* port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  return ParseIpAddress(host, address) && ParsePortText(text.substr(colon + 1), port);
}

std::string FormatEndpoint(const IpAddress& address, uint16_t port) {
  const std::string host = FormatIpAddress(address);
  return (address.family == 6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

namespace {

// A data line number, 1 to kMaxDataLines, without leading zeros.
bool ParseLineNumber(std::string_view item, int* line) {
  if (item.empty() || item[0] == '0') return false;
  return ParseCount(item, 1, kMaxDataLines, line);
}

}  // namespace

bool ParseTlsLines(std::string_view text, LineSet* lines) {
  if (text == "all") {
    lines->set();
    return true;
  }
  LineSet result;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    int line = 0;
    if (item == "control") {
      result.set(0);
    } else if (ParseLineNumber(item, &line)) {
      result.set(static_cast<size_t>(line));
    } else {
      return false;
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  *lines = result;
  return true;
}

bool ParseRfc2217Lines(std::string_view text, uint64_t* lines) {
  if (text == "all") {
    *lines = ~uint64_t{0};
    return true;
  }
  uint64_t result = 0;
  for (;;) {
    const size_t comma = text.find(',');
    int line = 0;
    if (!ParseLineNumber(text.substr(0, comma), &line)) return false;
    result |= uint64_t{1} << (line - 1);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  *lines = result;
  return true;
}

std::string FormatRfc2217Lines(uint64_t lines, int dataLines) {
  const uint64_t own = dataLines >= 64 ? ~uint64_t{0} : (uint64_t{1} << dataLines) - 1;
  if ((lines & own) == own) return "all";
  std::string out;
  for (int L = 1; L <= kMaxDataLines; ++L) {
    if (((lines >> (L - 1)) & 1u) == 0) continue;
    if (!out.empty()) out += ',';
    out += std::to_string(L);
  }
  return out;
}

std::string UsageText(std::string_view program, bool window) {
  const std::string name(program);
  std::string text = "Usage: " + name + " [OPTION]...\n";
  text += window ? "Serial-port server with its operator window.\n"
                 : "Serial-port server without a window.\n";
  text +=
      "The lines are configured by qmx.txt in the working folder; the options say\n"
      "how the server meets the network.\n"
      "\n"
      "  --listen ADDR        listen on this IPv4 or IPv6 address only (repeatable),\n"
      "                       e.g. 127.0.0.1, ::1, fe80::1%eth0; default: all IPv4\n"
      "                       and IPv6 addresses\n"
      "  --allow NET          serve only clients inside one of these nets (repeatable),\n"
      "                       e.g. 192.0.2.0/24, 10.0.0.1, 2001:db8::/32; others are\n"
      "                       closed at once and logged; default: everyone\n"
      "  --control-allow NET  the same for the control line alone; when given it\n"
      "                       replaces --allow there (repeatable)\n"
      "                       (both take @FILE too: one net a line, read again on\n"
      "                       reload)\n"
      "  --lines N            serve N data lines, com1 to comN (8-64; default 8)\n"
      "  --rfc2217 LINES      data lines that speak RFC 2217: 1-64, a list such as\n"
      "                       1,3,5, or all\n"
      "  --tls LINES          lines that speak TLS: control and data line numbers,\n"
      "                       e.g. control,1,2, or all; needs --tls-cert and\n"
      "                       --tls-key\n"
      "  --tls-cert FILE      the server's certificate chain (PEM)\n"
      "  --tls-key FILE       its private key (PEM)\n"
      "  --tls-client-ca FILE every client of a TLS line must show a certificate\n"
      "                       that chains to this CA (PEM)\n"
      "  --control-operators NAMES  only clients whose certificate names one of\n"
      "                       these (a comma list, or @FILE with one a line) may\n"
      "                       open, close, receive, save and drop; the others may\n"
      "                       look; needs --tls control and --tls-client-ca\n"
      "  --control-clients N  serve up to N control clients at once (1-16; default\n"
      "                       1), each in its own session; the next one waits\n"
      "  --control-idle SECS  close a control client that completes no command for\n"
      "                       SECS seconds (default 0: never)\n"
      "  -h, --help           show this text and exit\n"
      "  -V, --version        show the version and exit\n";
  if (window) {
    text += "\nQt's own options, such as -platform offscreen, are passed on to Qt.\n";
    text +=
        "A bad option exits with status 2; a listen address this host does not have\n"
        "exits with status 1 before anything is served.\n";
  } else {
    text +=
        "  --metrics ADDR:PORT  serve the counters for Prometheus over HTTP at\n"
        "                       /metrics, e.g. 127.0.0.1:9400 or [::1]:9400; the\n"
        "                       control line's allow-list applies\n"
        "  --check              read qmx.txt as start-up does, print every problem\n"
        "                       with its line number, and exit: 0 when there is none,\n"
        "                       78 otherwise; serves nothing\n"
        "\nSIGINT and SIGTERM stop the server cleanly; SIGHUP reads qmx.txt again and\n"
        "applies what changed in it.\n"
        "Exit status: 2 for a bad option; 1 when a listen address is not on this\n"
        "host or the metrics address cannot listen; 78 when qmx.txt cannot be\n"
        "read (missing, unreadable, not a regular file) or the control line\n"
        "cannot listen. Each exits before serving.\n";
  }
  return text;
}

std::string VersionText(std::string_view program) {
  return std::string(program) + " " + QMX_VERSION + "\n";
}

std::string NetworkSummary(const ServerOptions& options) {
  std::string out;
  if (!options.listen.empty()) {
    out = "Listening on ";
    for (size_t i = 0; i < options.listen.size(); ++i) {
      if (i > 0) out += ", ";
      out += FormatIpAddress(options.listen[i]);
    }
  }
  if (options.rfc2217Lines != 0) {
    if (!out.empty()) out += "; ";
    out += "RFC 2217 on data lines " +
           FormatRfc2217Lines(options.rfc2217Lines, options.dataLines);
  }
  return out;
}

}  // namespace qmx
