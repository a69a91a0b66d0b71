// Command line of qmx-vport.
//
//   qmx-vport [--join A:B]... NAME...
//
// Every NAME becomes a virtual port; a port named in --join (which need not be
// listed again) is joined to its partner like a null-modem cable, every other
// port is an echo plug.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qmx::vport {

struct Options {
  std::vector<std::string> names;  // in order, no repeats
  std::vector<std::pair<std::string, std::string>> joins;
  bool help = false;
  bool version = false;
};

// Fills `options`; on a usage error returns false and says why in `error`.
bool ParseOptions(const std::vector<std::string>& args, Options* options,
                  std::string* error);

extern const char* const kUsage;

}  // namespace qmx::vport
