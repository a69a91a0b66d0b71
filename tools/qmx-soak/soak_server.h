// The server a soak runs against: qmxd started in a temporary folder of its
// own, with eight devices com1..com8 on pseudo-terminals and a qmx.txt that
// bridges data lines 1..8 to them on free TCP ports of 127.0.0.1.
//
// Owned and used by the soak's main thread; the device slots may be replaced
// by the worker that owns that line.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "testsupport/child_process.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"

namespace qmx::soak {

class SoakServer {
 public:
  SoakServer() = default;
  // Kills a server still running; removes the folder unless kept.
  ~SoakServer() = default;
  SoakServer(const SoakServer&) = delete;
  SoakServer& operator=(const SoakServer&) = delete;

  // Makes the folder, the devices (line `sourceLine` gets a talking device,
  // the others echo plugs) and the settings file.
  bool Prepare(int sourceLine, bool keepFolder, std::string* error);
  // Starts `binary` in the folder (whether it serves is for a control
  // session to find out).
  bool Start(const std::string& binary, std::string* error);
  // False once the server has ended.
  bool Running();
  // SIGTERM, then waits up to `timeout`: the exit status (128 + signal when
  // killed by one), or -1 when it did not end in time (it is killed then).
  int Terminate(std::chrono::milliseconds timeout);

  // A new device for line L under the same name; the old one goes first.
  bool ReplaceDevice(int L, std::string* error);

  pid_t pid() const { return child_.pid(); }
  std::string folder() const { return folder_ ? folder_->path() : std::string(); }
  int controlPort() const { return controlPort_; }
  int port(int L) const { return ports_[L]; }
  testsupport::PtyDevice& device(int L) { return *devices_[L]; }
  // The end of the server's standard error, for failure reports.
  std::string StderrTail(size_t bytes) const;

 private:
  std::unique_ptr<testsupport::ScratchDir> folder_;
  int controlPort_ = 0;
  int ports_[9] = {};
  int sourceLine_ = 0;
  std::unique_ptr<testsupport::PtyDevice> devices_[9];
  // Declared last: the server ends (killed if need be) before its devices
  // and its folder go.
  testsupport::ChildProcess child_;
};

}  // namespace qmx::soak
