// Hands the parsed network options to the socket layer, and reads the
// files of nets and operators' names they point to.
#include <cerrno>
#include <cstring>
#include <fstream>

#include "net/socket_layer.h"
#include "options/server_options.h"
#include "platform/printable_text.h"

namespace qmx {
namespace {

// A file of one entry a line: blanks around an entry are dropped, and empty
// lines and lines starting with '#' skipped. `take` checks an entry and says
// what is wrong with it, or "".
template <typename Take>
bool ReadEntries(const std::string& path, Take take, std::string* failure) {
  std::ifstream in(path);
  if (!in) {
    *failure = path + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos || text[first] == '#') continue;
    const size_t last = text.find_last_not_of(" \t\r");
    const std::string problem = take(text.substr(first, last - first + 1));
    if (!problem.empty()) {
      *failure = path + " line " + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  if (in.bad()) {
    *failure = path + ": cannot be read";
    return false;
  }
  return true;
}

bool ReadNets(const std::vector<std::string>& paths, std::vector<IpNet>* nets,
              std::string* failure) {
  for (const std::string& path : paths) {
    const size_t before = nets->size();
    const bool read = ReadEntries(
        path,
        [nets](const std::string& entry) -> std::string {
          IpNet net;
          if (!ParseIpNet(entry, &net))
            return "not a net such as 192.0.2.0/24: " + PrintableText(entry);
          nets->push_back(net);
          return "";
        },
        failure);
    if (!read) return false;
    if (nets->size() == before) {
      *failure = path + ": lists no net";
      return false;
    }
  }
  return true;
}

// A certificate's common name, as the list names it.
std::string NameProblem(const std::string& name) {
  if (name.size() > 64) return "a name longer than a certificate's 64 characters";
  return "";
}

bool ReadOperators(const std::string& given, std::vector<std::string>* names,
                   std::string* failure) {
  auto take = [names](const std::string& name) {
    std::string problem = NameProblem(name);
    if (problem.empty()) names->push_back(name);
    return problem;
  };
  if (given.starts_with("@")) return ReadEntries(given.substr(1), take, failure);
  size_t start = 0;
  for (;;) {
    const size_t comma = given.find(',', start);
    std::string item = given.substr(start, comma - start);
    const size_t first = item.find_first_not_of(' ');
    item = first == std::string::npos
               ? ""
               : item.substr(first, item.find_last_not_of(' ') - first + 1);
    if (!item.empty()) {
      const std::string problem = take(item);
      if (!problem.empty()) {
        *failure = "--control-operators: " + problem;
        return false;
      }
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return true;
}

}  // namespace

bool ApplyNetworkOptions(const ServerOptions& options, SocketLayer& net,
                         std::string* failure) {
  net.TcpSetListenAddresses(options.listen);
  net.TcpSetAllowLists(options.allow, options.controlAllow, options.controlAllowGiven);
  net.SetControlClients(options.controlClients);
  net.SetControlIdleSeconds(options.controlIdleSeconds);
  std::string reason;
  if (!net.TcpCheckListenAddresses(&reason)) {
    *failure = "cannot listen on " + reason;
    return false;
  }
  return true;
}

bool LoadAccessSettings(const ServerOptions& options, AccessSettings* settings,
                        std::string* failure) {
  AccessSettings read;
  read.allow = options.allow;
  read.controlAllow = options.controlAllow;
  read.controlAllowGiven = options.controlAllowGiven;
  if (!ReadNets(options.allowFiles, &read.allow, failure) ||
      !ReadNets(options.controlAllowFiles, &read.controlAllow, failure))
    return false;
  if (options.controlOperatorsGiven) {
    read.operators.emplace();
    if (!ReadOperators(options.controlOperators, &*read.operators, failure)) return false;
  }
  *settings = std::move(read);
  return true;
}

bool ApplyAccessSettings(const ServerOptions& options, SocketLayer& net,
                         std::string* failure) {
  AccessSettings settings;
  if (!LoadAccessSettings(options, &settings, failure)) return false;
  net.TcpSetAllowLists(std::move(settings.allow), std::move(settings.controlAllow),
                       settings.controlAllowGiven);
  net.SetControlOperators(std::move(settings.operators));
  return true;
}

}  // namespace qmx
