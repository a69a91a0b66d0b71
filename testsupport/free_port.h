// TCP ports for tests and tools that start servers: a port nobody listens on
// or is bound to now, on any IPv4 address or (where the machine has IPv6) on
// any IPv6 address, so a server may take it on whichever address it listens.
// The kernel picks the ports from its ephemeral range, away from fixed
// service ports such as the server's defaults; one process is never handed the same port
// twice, so the parts of one test never collide.
//
// Threads: any thread. Nothing throws.
#pragma once

#include <string>

namespace qmx::testsupport {

// A free TCP port, or 0 when none could be found.
int FreeTcpPort();

// True when something accepts TCP connections on 127.0.0.1:port, or on
// `address` (an IPv4 or IPv6 literal):port.
bool Listening(int port);
bool Listening(const std::string& address, int port);

}  // namespace qmx::testsupport
