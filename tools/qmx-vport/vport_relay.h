// The virtual ports of qmx-vport and the loop that plays the devices.
//
// Each port is a pseudo-terminal device (testsupport/pty_device.h) linked
// into the working directory under the port's name, with its slave raw and
// held open for the program's whole life: the master never reports a
// hang-up, so a server may close and reopen the port as often as it likes.
// The program plays the device on the master side. A port's peer is the port
// whose master receives what is written to this port: itself for an echo
// plug, its partner for a joined pair. No lock is taken on the device (flock
// or TIOCEXCL), so the server can.
//
// Single-threaded: everything runs in RunRelay's poll loop.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/pty_device.h"

namespace qmx::vport {

struct VirtualPort {
  std::string name;
  std::unique_ptr<testsupport::PtyDevice> device;  // null until opened
  size_t peer = 0;       // index of the port that receives this port's output
  std::string pending;   // bytes waiting to be written to this master
  bool resting = false;  // master reported a hang-up or error; look again later

  int master() const { return device->master(); }
};

// Makes the port's device and links `name` to it; an old link of that name
// is replaced, any other entry is left alone and refused. On failure returns
// false with the reason in `error`.
bool OpenPort(VirtualPort* port, std::string* error);

// Moves bytes until a signal arrives on `signalFd` (returns 0) or poll fails
// (returns 1).
int RunRelay(std::vector<VirtualPort>& ports, int signalFd);

}  // namespace qmx::vport
