// A serial device on a pseudo-terminal, for the tests and tools that stand in
// for hardware. The device side (the slave) is what a server opens as its
// port, usually through a link such as "com1"; the master side is the device.
// Either the caller plays the device itself (Play::kSelf: Write, Read,
// WaitHangup, or its own poll loop on master()), or a thread of this object
// plays it: an echo plug sends back every byte it receives, in order; a
// source sends bytes without end, as fast as they are taken, and drops what
// it receives. While 64 KiB wait to go back the echo plug reads nothing more,
// so the writer then waits, as with hardware flow control.
//
// The slave is raw from the start (no echo, no translation of CR and LF) and
// the master is non-blocking. With `holdSlave` (the default) one descriptor
// of the slave stays open and unused, so the master never sees a hang-up
// while a server closes and reopens the port, and a test can read the
// terminal settings the server applied through slave(). Without it, a
// server's close shows on the master as a hang-up.
//
// Linking replaces an older link of the same name and refuses any other kind
// of entry. The link is removed with the object while it still points at
// this device; after Hangup() it stays, pointing at nothing, for a successor
// to replace.
//
// Threads: the calls are made by one owning thread; echoed() and fault() may
// be read from any thread. Nothing throws: a failed set-up leaves ok() false
// with the reason in error().
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace qmx::testsupport {

class PtyDevice {
 public:
  enum class Play { kSelf, kEcho, kSource };

  // Opens the pair, links `link` to its slave (no link when empty) and starts
  // playing.
  explicit PtyDevice(std::string link, Play play = Play::kSelf, bool holdSlave = true);
  // The same, or nullptr with the reason in `error`.
  static std::unique_ptr<PtyDevice> Create(std::string link, Play play,
                                           std::string* error, bool holdSlave = true);
  ~PtyDevice();
  PtyDevice(const PtyDevice&) = delete;
  PtyDevice& operator=(const PtyDevice&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Takes the device away, as when a USB adapter is pulled: stops playing
  // and closes both ends, so whatever the server holds hangs up. Bytes in
  // flight are lost.
  void Hangup();

  // For Play::kSelf. Write sends every byte unless `limit` passes first;
  // Read returns what came until `count` bytes, a hang-up, or `limit`.
  bool Write(std::string_view bytes,
             std::chrono::milliseconds limit = std::chrono::seconds(10));
  std::string Read(size_t count,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
  // True once the slave is closed by everybody (only without `holdSlave`);
  // what arrives meanwhile is read and dropped.
  bool WaitHangup(std::chrono::milliseconds limit = std::chrono::seconds(10));

  int master() const { return master_; }
  int slave() const { return slave_; }  // -1 without `holdSlave`
  const std::string& devicePath() const { return devicePath_; }
  const std::string& link() const { return link_; }
  // Bytes the playing thread sent to the server so far.
  uint64_t echoed() const { return echoed_.load(); }
  // Why the playing thread stopped early; empty while it plays.
  std::string fault() const;

 private:
  bool Open(bool holdSlave);
  bool Link();
  void StartPlaying(Play role);
  void StopPlaying();
  bool Fail(std::string_view what);

  std::string link_;
  std::string devicePath_;
  std::string error_;
  int master_ = -1;
  int slave_ = -1;
  int stopFd_ = -1;
  bool linked_ = false;
  std::thread player_;
  std::atomic<uint64_t> echoed_{0};
  std::atomic<int> failure_{0};  // errno that stopped the player
};

// Links `link` to a device that does not exist, so opening the port fails
// (a name with no entry at all may fall back to the machine's own ports).
bool LinkMissingDevice(const std::string& link);

}  // namespace qmx::testsupport
