// A device on a pseudo-terminal, for load runs: the device side (the slave)
// is linked under a name such as "com1" and the object plays the device on
// the master side. An echo plug sends back every byte it receives, in order;
// a source sends bytes without end, as fast as the server takes them, and
// throws away what it receives.
//
// It keeps one descriptor of the slave open (and never uses it), so the
// server may close and reopen the port as often as it likes. Vanish() takes
// the whole device away, as when a USB adapter is pulled: the server's open
// descriptor hangs up, and the link is left pointing at nothing.
//
// Threads: one echo thread per device. The public calls are made by one
// owning thread; echoed() may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace qmx::load {

class EchoDevice {
 public:
  enum class Role { kEcho, kSource };

  // Creates the pair, links `linkPath` to its slave (replacing an old link
  // there) and starts playing the device. Returns nullptr with the reason in
  // `error`.
  static std::unique_ptr<EchoDevice> Create(const std::string& linkPath,
                                            std::string* error,
                                            Role role = Role::kEcho);
  ~EchoDevice();
  EchoDevice(const EchoDevice&) = delete;
  EchoDevice& operator=(const EchoDevice&) = delete;

  // Stops playing and closes both ends; whatever was in flight is lost. The
  // link stays, pointing at nothing, until a successor replaces it.
  void Vanish();

  // Bytes sent to the server so far.
  uint64_t echoed() const { return echoed_.load(); }
  const std::string& devicePath() const { return devicePath_; }

 private:
  EchoDevice() = default;
  void EchoLoop();
  void StopThread();

  Role role_ = Role::kEcho;
  std::string link_;
  std::string devicePath_;
  int master_ = -1;
  int keeper_ = -1;
  int stopFd_ = -1;
  bool vanished_ = false;
  std::thread echo_;
  std::atomic<uint64_t> echoed_{0};
};

}  // namespace qmx::load
