#include "vport_relay.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace qmx::vport {
namespace {

// A port whose peer holds this much undelivered output is not read from until
// the peer drains: the writer then waits, as with hardware flow control.
constexpr size_t kPendingLimit = 64 * 1024;

// How long a master that reported a hang-up is left alone.
constexpr int kRestMs = 50;

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Writes what the port's master can take now.
void Flush(VirtualPort& port) {
  while (!port.pending.empty()) {
    ssize_t n = ::write(port.master, port.pending.data(), port.pending.size());
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
    n = ::read(port.master, buffer.data(), buffer.size());
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

bool CreatePort(VirtualPort* port, std::string* error) {
  port->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (port->master < 0) {
    *error = ErrnoText("posix_openpt");
    return false;
  }
  std::array<char, 128> path{};
  if (::grantpt(port->master) != 0 || ::unlockpt(port->master) != 0 ||
      ::ptsname_r(port->master, path.data(), path.size()) != 0) {
    *error = ErrnoText("pseudo-terminal set-up");
    return false;
  }
  port->devicePath = path.data();
  port->keeper = ::open(path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (port->keeper < 0) {
    *error = ErrnoText(path.data());
    return false;
  }
  // Raw before anyone else opens it: no echo, no translation of CR and LF.
  termios raw{};
  if (::tcgetattr(port->keeper, &raw) != 0) {
    *error = ErrnoText("tcgetattr");
    return false;
  }
  ::cfmakeraw(&raw);
  if (::tcsetattr(port->keeper, TCSANOW, &raw) != 0) {
    *error = ErrnoText("tcsetattr");
    return false;
  }
  const int flags = ::fcntl(port->master, F_GETFL);
  if (flags < 0 || ::fcntl(port->master, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = ErrnoText("fcntl");
    return false;
  }
  return true;
}

bool LinkPort(VirtualPort* port, std::string* error) {
  struct stat entry;
  if (::lstat(port->name.c_str(), &entry) == 0) {
    if (!S_ISLNK(entry.st_mode)) {
      *error = port->name + " exists and is not a link; not replaced";
      return false;
    }
    ::unlink(port->name.c_str());  // left behind by an earlier run
  }
  if (::symlink(port->devicePath.c_str(), port->name.c_str()) != 0) {
    *error = ErrnoText(port->name.c_str());
    return false;
  }
  port->linked = true;
  return true;
}

void ReleasePort(VirtualPort* port) {
  if (port->linked) {
    std::array<char, 256> target{};
    ssize_t n = ::readlink(port->name.c_str(), target.data(), target.size() - 1);
    if (n > 0 && port->devicePath == std::string(target.data(), static_cast<size_t>(n))) {
      ::unlink(port->name.c_str());
    }
    port->linked = false;
  }
  if (port->keeper >= 0) ::close(port->keeper);
  if (port->master >= 0) ::close(port->master);
  port->keeper = -1;
  port->master = -1;
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
      fds[i + 1] = {port.resting ? -1 : port.master, events, 0};
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
