#include "vport_options.h"

#include <algorithm>
#include <string_view>

namespace qmx::vport {

const char* const kUsage =
    "usage: qmx-vport [--join A:B]... NAME...\n"
    "\n"
    "Creates one pseudo-terminal per NAME and links NAME in the working\n"
    "directory to its device side (for example com1 -> /dev/pts/3), so that a\n"
    "server started in this directory opens it as its port. The other side is\n"
    "played by this program until SIGINT or SIGTERM, which removes the links:\n"
    "\n"
    "  by default  an echo plug: every byte written to the port comes back\n"
    "  --join A:B  ports A and B joined like a null-modem cable: bytes written\n"
    "              to A come out of B and the other way round (A and B are\n"
    "              created even when not listed as NAME)\n"
    "  -h, --help  this text\n"
    "  -V, --version  the version\n"
    "\n"
    "Nothing is lost: when the far side does not read, its buffers fill and\n"
    "the writer waits, as with hardware flow control.\n";

namespace {

bool ValidName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name != "." &&
         name != ".." && name.front() != '-';
}

void AddName(Options* options, const std::string& name) {
  if (std::find(options->names.begin(), options->names.end(), name) ==
      options->names.end()) {
    options->names.push_back(name);
  }
}

bool Joined(const Options& options, const std::string& name) {
  return std::any_of(options.joins.begin(), options.joins.end(), [&](const auto& join) {
    return join.first == name || join.second == name;
  });
}

bool AddJoin(Options* options, std::string_view pair, std::string* error) {
  const size_t colon = pair.find(':');
  if (colon == std::string_view::npos) {
    *error = "--join wants two names as A:B";
    return false;
  }
  std::string a(pair.substr(0, colon));
  std::string b(pair.substr(colon + 1));
  if (!ValidName(a) || !ValidName(b) || a == b) {
    *error = "--join wants two different port names as A:B";
    return false;
  }
  if (Joined(*options, a) || Joined(*options, b)) {
    *error = "a port can be joined to one other port only";
    return false;
  }
  options->joins.emplace_back(a, b);
  AddName(options, a);
  AddName(options, b);
  return true;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error) {
  *options = Options{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else if (arg == "-V" || arg == "--version") {
      options->version = true;
    } else if (arg == "--join") {
      if (i + 1 == args.size()) {
        *error = "--join needs A:B";
        return false;
      }
      if (!AddJoin(options, args[++i], error)) return false;
    } else if (arg.rfind("--join=", 0) == 0) {
      if (!AddJoin(options, std::string_view(arg).substr(7), error)) return false;
    } else if (ValidName(arg)) {
      AddName(options, arg);
    } else {
      *error = "unknown option or bad port name: " + arg;
      return false;
    }
  }
  if (options->names.empty() && !options->help && !options->version) {
    *error = "no port name given";
    return false;
  }
  return true;
}

}  // namespace qmx::vport
