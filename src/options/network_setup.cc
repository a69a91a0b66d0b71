// Hands the parsed network options to the socket layer.
#include "net/net_access.h"
#include "options/server_options.h"

namespace qmx {

bool ApplyNetworkOptions(const ServerOptions& options, std::string* failure) {
  TcpSetListenAddresses(options.listen);
  TcpSetAllowLists(options.allow, options.controlAllow, options.controlAllowGiven);
  std::string reason;
  if (!TcpCheckListenAddresses(&reason)) {
    *failure = "cannot listen on " + reason;
    return false;
  }
  return true;
}

}  // namespace qmx
