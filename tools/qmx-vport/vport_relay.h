// The virtual ports of qmx-vport and the loop that plays the devices.
//
// Each port is a pseudo-terminal pair. Its device side (the slave) is linked
// into the working directory under the port's name and put in raw mode; the
// program plays the device on the master side. A port's peer is the port
// whose master receives what is written to this port: itself for an echo
// plug, its partner for a joined pair.
//
// The program keeps one descriptor of each slave open for its whole life and
// never reads or writes it: while it is open the master never reports a
// hang-up, so a server may close and reopen the port as often as it likes.
// It takes no lock on it (flock or TIOCEXCL), so the server can.
//
// Single-threaded: everything runs in RunRelay's poll loop.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qmx::vport {

struct VirtualPort {
  std::string name;
  std::string devicePath;  // the slave, for example /dev/pts/3
  int master = -1;
  int keeper = -1;       // the slave descriptor held open (see above)
  size_t peer = 0;       // index of the port that receives this port's output
  std::string pending;   // bytes waiting to be written to this master
  bool linked = false;   // this program made the link `name`
  bool resting = false;  // master reported a hang-up or error; look again later
};

// Creates the pair: master non-blocking, slave raw. On failure returns false
// with the reason in `error`.
bool CreatePort(VirtualPort* port, std::string* error);

// Links `name` to the device; an old link of that name is replaced, any other
// entry is left alone and refused.
bool LinkPort(VirtualPort* port, std::string* error);

// Removes the link if it is still the one this program made, and closes the
// descriptors.
void ReleasePort(VirtualPort* port);

// Moves bytes until a signal arrives on `signalFd` (returns 0) or poll fails
// (returns 1).
int RunRelay(std::vector<VirtualPort>& ports, int signalFd);

}  // namespace qmx::vport
