// Hands the parsed network options to the socket layer.
#include "net/socket_layer.h"
#include "options/server_options.h"

namespace qmx {

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

}  // namespace qmx
