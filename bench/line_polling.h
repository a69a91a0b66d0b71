// Polling on many lines at once: every line's client sends a message, waits
// until all of it has come back through the line's echo device, checks it,
// and sends the next, with one message in flight per line and all lines
// going together. One poll loop on the calling thread drives every client
// and plays every echo device, so the benchmark's own cost is the same
// whichever server it measures and does not grow with threads as the lines
// grow in number.
//
// Each message differs from the line's one before and from every other
// line's, so a stale echo or one that comes back on the wrong line is caught.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace qmx::bench {

// One line: its connected client socket and its device (a pseudo-terminal
// master). Both are non-blocking, and the poller is their only user while it
// runs.
struct PolledLine {
  int client = -1;
  int device = -1;
};

class LinePoller {
 public:
  LinePoller(std::vector<PolledLine> lines, size_t messageSize);

  // A few dozen round trips per line that are not counted.
  void WarmUp() { Run(kWarmUp, false); }
  // Up to `messagesPerLine` more round trips on every line, measured. A
  // message that does not come back intact within two seconds, or a line
  // that fails, stops this and every later block; fault() says why.
  void Run(int messagesPerLine) { Run(messagesPerLine, true); }

  // Every measured round trip, in the order they ended.
  const std::vector<double>& microseconds() const { return micros_; }
  // Time spent in measured blocks: start to the last echo.
  double seconds() const { return seconds_; }
  const std::string& fault() const { return fault_; }

 private:
  static constexpr int kWarmUp = 20;

  using Clock = std::chrono::steady_clock;

  struct Line {
    PolledLine fds;
    long sequence = 0;  // messages sent so far, for their contents
    std::vector<unsigned char> message, reply;
    size_t written = 0, received = 0;
    bool waiting = false;  // a message is out
    double sentAt = 0;     // seconds since the block began
    int left = 0;          // messages still to send in this block
    // Read from the device and not yet written back to it.
    std::vector<unsigned char> echoBacklog;
  };

  void Run(int messagesPerLine, bool keep);
  double Now() const;  // seconds since the block began
  // Each returns false when it has set the fault.
  bool Send(Line& line, size_t index);
  bool WriteMessage(Line& line, size_t index);
  bool Receive(Line& line, size_t index, bool keep);
  bool Echo(Line& line, size_t index);
  void Fail(size_t index, const std::string& what);

  std::vector<Line> lines_;
  size_t size_;
  Clock::time_point blockStart_;
  double lastEcho_ = 0;  // seconds since the block began
  std::vector<double> micros_;
  double seconds_ = 0;
  std::string fault_;
};

}  // namespace qmx::bench
