// qmx-vport: virtual serial ports for trying and testing the server without
// hardware. See vport_options.h for the command line and vport_relay.h for
// how the ports work.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vport_options.h"
#include "vport_relay.h"

namespace {

using qmx::vport::VirtualPort;

// Removes the links this program made and closes the devices.
void ReleaseAll(std::vector<VirtualPort>& ports) {
  for (VirtualPort& port : ports) port.device.reset();
}

size_t IndexOf(const std::vector<VirtualPort>& ports, const std::string& name) {
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i].name == name) return i;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  qmx::vport::Options options;
  std::string error;
  if (!qmx::vport::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options,
                                &error)) {
    std::fprintf(stderr, "qmx-vport: %s\n\n%s", error.c_str(), qmx::vport::kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(qmx::vport::kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("qmx-vport %s\n", QMX_VERSION);
    return 0;
  }

  // Signals arrive through a descriptor in the poll loop, so the links are
  // always removed; blocked before the first link exists.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("qmx-vport: signalfd");
    return 1;
  }

  std::vector<VirtualPort> ports(options.names.size());
  for (size_t i = 0; i < ports.size(); ++i) {
    ports[i].name = options.names[i];
    ports[i].peer = i;
  }
  for (const auto& [a, b] : options.joins) {
    const size_t ia = IndexOf(ports, a);
    const size_t ib = IndexOf(ports, b);
    ports[ia].peer = ib;
    ports[ib].peer = ia;
  }
  for (VirtualPort& port : ports) {
    if (!qmx::vport::OpenPort(&port, &error)) {
      std::fprintf(stderr, "qmx-vport: %s: %s\n", port.name.c_str(), error.c_str());
      ReleaseAll(ports);
      return 1;
    }
  }
  for (const VirtualPort& port : ports) {
    const VirtualPort& peer = ports[port.peer];
    std::printf("%s -> %s (%s%s)\n", port.name.c_str(), port.device->devicePath().c_str(),
                &peer == &port ? "echo" : "joined to ",
                &peer == &port ? "" : peer.name.c_str());
  }
  std::fflush(stdout);

  const int result = qmx::vport::RunRelay(ports, signalFd);
  ReleaseAll(ports);
  ::close(signalFd);
  return result;
}
