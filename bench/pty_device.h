// The devices behind the servers' serial ports: pseudo-terminal pairs whose
// slave side the server opens as its port and whose master side the benchmark
// plays, either as a raw source and sink of bytes (the throughput runs) or as
// an echo plug on its own thread (the round trips).
//
// The benchmark keeps the slave side open itself as well, so the master never
// sees a hang-up while a server opens, closes or re-opens its port.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace qmx::bench {

class PtyPair {
 public:
  PtyPair() = default;
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Opens the pair in raw mode (no echo, no line editing, no translation);
  // the master is non-blocking. Returns false with a reason on failure.
  bool Open(std::string* error);

  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// An echo plug on a master: every byte that arrives is written back, until
// Stop() or destruction.
class EchoDevice {
 public:
  explicit EchoDevice(int master);
  ~EchoDevice();
  EchoDevice(const EchoDevice&) = delete;
  EchoDevice& operator=(const EchoDevice&) = delete;

  void Stop();
  // Bytes echoed so far; a failure of the device stops the echo and is kept.
  uint64_t echoed() const { return echoed_.load(); }
  std::string fault() const;

 private:
  void Run();

  int master_;
  int stopFd_ = -1;
  std::atomic<uint64_t> echoed_{0};
  std::atomic<bool> failed_{false};
  int failure_ = 0;  // errno, written before failed_ is set
  std::thread thread_;
};

}  // namespace qmx::bench
