// A whole server on fake devices and a fake network: its qmx.txt in a
// scratch folder, each port's device a FakeDeviceEnd, each client a
// FakeClientEnd. Nothing here opens a pseudo-terminal or a TCP socket.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/server.h"
#include "testsupport/fakes/fake_device.h"
#include "testsupport/fakes/fake_network.h"
#include "testsupport/scratch_dir.h"

namespace qmx::test {

using namespace std::chrono_literals;
using testsupport::FakeClientEnd;
using testsupport::FakeDeviceEnd;

// The TCP ports of the fake network: nothing real listens on them.
inline constexpr int kControlPort = 7100;
inline int DataPort(int line) { return 7100 + line; }

// The device a port named comN opens when the folder has no entry of that
// name.
inline std::string DevicePath(int n) { return "/dev/ttyS" + std::to_string(n - 1); }

class FakeServer : public ::testing::Test {
 protected:
  FakeServer();
  ~FakeServer() override;

  // qmx.txt: the control line on kControlPort, data line L on DataPort(L)
  // serving serial[L] ("unused" by default), ports com1..com8 at 9600,n,8,1,n.
  std::array<std::string, 9> serial;
  // The data lines that speak RFC 2217 (bit L-1 for line L).
  uint32_t rfc2217Lines = 0;
  // Control clients served at once, and the control line's idle limit.
  int controlClients = 1;
  int controlIdleSeconds = 0;
  void Start();

  // The test's end of comN's device, plugged in.
  std::shared_ptr<FakeDeviceEnd> Plug(int n);
  // The same, with data line n bridged to comN in qmx.txt.
  std::shared_ptr<FakeDeviceEnd> Bridge(int n) {
    serial[static_cast<size_t>(n)] = "com" + std::to_string(n);
    return Plug(n);
  }

  // A client of `port`, or null when nothing listens there. When the line
  // has no client, this returns once the line serves the new one, so that
  // bytes the device sends from then on reach it.
  std::shared_ptr<FakeClientEnd> Connect(int port);

  // The control client, greeted.
  FakeClientEnd& Control();
  // Sends `command` and CR on the control line; returns what came back (the
  // echo and the reply) once it ends with `last`, or all that came within
  // the limit.
  std::string Command(const std::string& command, const std::string& last = "\r\n");

  // True once `check` holds (on Received()), false when `limit` passed first.
  static bool ReceivedUntil(FakeClientEnd& client,
                            const std::function<bool(const std::string&)>& check,
                            std::chrono::milliseconds limit = 10s);

  // Whether something listens on `port` of the fake network.
  bool Listening(int port) const {
    return network_.Listening(static_cast<uint16_t>(port));
  }
  std::string LineStatus(int line);
  PortState StateOf(int n);

  testsupport::ScratchDir dir_{"qmx-fake-server", testsupport::ScratchDir::Enter::kNo};
  testsupport::FakeDeviceOpener devices_;
  testsupport::FakeNetwork network_;
  std::unique_ptr<Server> server_;
  std::shared_ptr<FakeClientEnd> control_;
};

}  // namespace qmx::test
