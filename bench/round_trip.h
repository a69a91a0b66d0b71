// Request-reply timing through an echo device: the client sends a message,
// waits until all of it has come back, checks it, and sends the next. One
// message is in flight at a time, so each round trip is the time the
// server adds twice (client to device, device to client) plus the echo.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "stream_end.h"

namespace qmx::bench {

// Round trips on one connected client socket (or a client's StreamEnd, which
// it waits on with poll), measured in blocks so that several servers can take
// turns under the same conditions.
class RoundTripper {
 public:
  RoundTripper(int clientFd, size_t messageSize) : fd_(clientFd), size_(messageSize) {}
  RoundTripper(StreamEnd* client, size_t messageSize)
      : fd_(client->Fd()), end_(client), size_(messageSize) {}

  // A few dozen round trips that are not counted.
  void WarmUp() { Run(kWarmUp, false); }
  // Measures up to `count` more round trips. A message that does not come
  // back intact within two seconds stops this and every later block.
  void Run(int count) { Run(count, true); }

  const std::vector<double>& microseconds() const { return micros_; }
  const std::string& fault() const { return fault_; }
  double Percentile(double fraction) const;  // 0.5 median, 0.99 ...

 private:
  static constexpr int kWarmUp = 50;
  void Run(int count, bool keep);

  int fd_;
  StreamEnd* end_ = nullptr;
  size_t size_;
  long sequence_ = 0;  // messages sent so far, for their contents
  std::vector<double> micros_;
  std::string fault_;
};

}  // namespace qmx::bench
