#include "vport_relay.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace qmx::vport {
namespace {

// A port whose peer holds this much undelivered output is not read from until
// the peer drains: the writer then waits, as with hardware flow control.
constexpr size_t kPendingLimit = 64 * 1024;

// How long a master that reported a hang-up is left alone.
constexpr int kRestMs = 50;

// Writes what the port's master can take now.
void Flush(VirtualPort& port) {
  while (!port.pending.empty()) {
    ssize_t n = ::write(port.master(), port.pending.data(), port.pending.size());
    if (n > 0) {
      port.pending.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN) port.resting = true;
      return;
    }
  }
}

// Reads what the port's device side has sent and hands it to the peer.
void Receive(std::vector<VirtualPort>& ports, VirtualPort& port) {
  std::array<char, 4096> buffer;
  ssize_t n;
  do {
    n = ::read(port.master(), buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    VirtualPort& peer = ports[port.peer];
    peer.pending.append(buffer.data(), static_cast<size_t>(n));
    Flush(peer);
  } else if (n == 0 || errno != EAGAIN) {
    port.resting = true;  // EIO: no slave open at the moment
  }
}

}  // namespace

bool OpenPort(VirtualPort* port, std::string* error) {
  port->device = testsupport::PtyDevice::Create(
      port->name, testsupport::PtyDevice::Play::kSelf, error);
  return port->device != nullptr;
}

int RunRelay(std::vector<VirtualPort>& ports, int signalFd) {
  std::vector<pollfd> fds(ports.size() + 1);
  for (;;) {
    bool anyResting = false;
    fds[0] = {signalFd, POLLIN, 0};
    for (size_t i = 0; i < ports.size(); ++i) {
      VirtualPort& port = ports[i];
      short events = 0;
      if (ports[port.peer].pending.size() < kPendingLimit) events |= POLLIN;
      if (!port.pending.empty()) events |= POLLOUT;
      fds[i + 1] = {port.resting ? -1 : port.master(), events, 0};
      anyResting = anyResting || port.resting;
    }
    if (::poll(fds.data(), fds.size(), anyResting ? kRestMs : -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[0].revents != 0) return 0;
    for (size_t i = 0; i < ports.size(); ++i) {
      VirtualPort& port = ports[i];
      const short revents = fds[i + 1].revents;
      port.resting = false;
      if ((revents & POLLIN) != 0) {
        Receive(ports, port);
      } else if ((revents & (POLLHUP | POLLERR)) != 0) {
        port.resting = true;
      }
      if ((revents & POLLOUT) != 0) Flush(port);
    }
  }
}

}  // namespace qmx::vport
