// The relay thread's output: to one data line's client, and to one serial
// port.
//
// Serial data goes to a client without waiting for it: what its socket does
// not take at once is kept here, in order, and retried on the relay's next
// passes. A client that stops reading therefore holds up only the lines of
// its own serial port (the relay stops taking that port's input while the
// backlog is full, so the port's flow control slows the device), never the
// other ports. A client that takes nothing for the send stall limit is
// disconnected; bytes kept for a client that has gone are dropped, as bytes
// for a line without a client always are.
//
// Owned by the relay loop: used by the relay thread, and by a receive
// thread's shortcut, always under the relay's turn mutex for the direction
// (client outputs under their line's turn, serial outputs under their port's turn), never
// by two threads at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace qmx {

class SerialPorts;
class SocketLayer;

// Bytes a client or device has not taken yet, in order, and when it last
// took some (or, while it has taken none, when the first were kept).
class KeptBytes {
 public:
  using Clock = std::chrono::steady_clock;

  bool Any() const { return taken_ < bytes_.size(); }
  size_t Size() const { return bytes_.size() - taken_; }
  std::span<const uint8_t> Front() const { return {bytes_.data() + taken_, Size()}; }
  Clock::time_point LastProgress() const { return lastProgress_; }

  // Appends bytes; the first ones kept start the clock.
  void Keep(std::span<const uint8_t> bytes, Clock::time_point now) {
    if (!Any()) {
      Clear();
      lastProgress_ = now;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  // `count` bytes from the front were taken.
  void Taken(size_t count, Clock::time_point now) {
    if (count == 0) return;
    taken_ += count;
    lastProgress_ = now;
    if (!Any()) Clear();
  }
  void Clear() {
    bytes_.clear();  // keeps the storage: a busy line does not allocate
    taken_ = 0;
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t taken_ = 0;
  Clock::time_point lastProgress_;
};

class DataLineOutput {
 public:
  using Clock = std::chrono::steady_clock;

  // The sockets the line belongs to; set once before the first send.
  void Attach(SocketLayer* net) { net_ = net; }
  static constexpr size_t kBacklogLimit = 64 * 1024;

  // True when the line should get no more data until its backlog shrinks.
  bool Backlogged() const { return kept_.Size() >= kBacklogLimit; }
  bool HasPending() const { return kept_.Any(); }
  // Bytes kept for the present client.
  size_t Pending() const { return kept_.Size(); }
  // When the client last took a byte, or when the first kept byte came.
  Clock::time_point LastProgress() const { return kept_.LastProgress(); }
  // Drops the line's present client, with what is kept for it; false (and
  // nothing dropped) when the kept bytes were for a client that has gone.
  bool DropClient(int line);

  // Sends a chunk to line `line`, after whatever is still kept for it.
  void Send(int line, std::span<const uint8_t> chunk, Clock::time_point now);

  // Sends what is kept; disconnects a client that has taken nothing for the
  // stall limit.
  void Flush(int line, Clock::time_point now);

 private:
  SocketLayer* net_ = nullptr;
  KeptBytes kept_;
  uint64_t client_ = 0;  // the client the kept bytes are for
};

// The control line's output (echoes, greetings, replies) goes out the same
// way, so a control client that stops reading never holds up the relay: it is
// kept here for that one client only, and bytes meant for a client that has
// gone are dropped, never sent to the next one. While the backlog is full the
// relay takes no more of the client's input; a client that takes nothing for
// the stall limit is dropped with a reset.
class ControlLineOutput {
 public:
  using Clock = std::chrono::steady_clock;

  // The sockets the control line belongs to, and the socket record of the
  // session it serves (ControlSessionRecord); set once before the first send.
  void Attach(SocketLayer* net, int record = 0) {
    net_ = net;
    record_ = record;
  }
  static constexpr size_t kBacklogLimit = 64 * 1024;

  // Starts serving client `client` (a TcpClientSerial value); what was kept
  // for another client is dropped.
  void Serve(uint64_t client, Clock::time_point now);
  uint64_t client() const { return client_; }
  // True once a send to the client failed: it has gone.
  bool Gone() const { return gone_; }
  bool Backlogged() const { return kept_.Size() >= kBacklogLimit; }
  bool HasPending() const { return kept_.Any(); }

  void Send(std::span<const uint8_t> bytes, Clock::time_point now);
  void Flush(Clock::time_point now);

 private:
  SocketLayer* net_ = nullptr;
  int record_ = 0;
  KeptBytes kept_;
  uint64_t client_ = 0;
  bool gone_ = false;
};

// Serial writes go out the same way: what the device does not take at once
// is kept and written on the next passes, and the port's send queue is not
// drained meanwhile, so its client is slowed down by TCP. The relay thread is
// never held in a write, so it goes on relaying the port's input; otherwise
// a device that echoes could fill the port's receive queue and then stop
// taking the relay's writes, each side waiting for the other. What the
// device has not taken within the write limit is dropped, as a timed-out
// write is.
class SerialPortOutput {
 public:
  using Clock = std::chrono::steady_clock;

  // The ports the output writes to; set once before the first write.
  void Attach(SerialPorts* serial) { serial_ = serial; }

  bool HasPending() const { return kept_.Any(); }

  // Drops what the device has not taken yet (a purge of the transmit side).
  void Discard() { kept_.Clear(); }

  // Writes a chunk to port `n` and keeps what the device does not take at
  // once. While something is pending the chunk is kept behind it: the relay
  // passes a chunk in up to two parts, and starts a new one only when
  // nothing is pending.
  void Write(int n, std::span<const uint8_t> chunk, Clock::time_point now);
  void Flush(int n, Clock::time_point now);

 private:
  void Finish(bool timedOut);

  SerialPorts* serial_ = nullptr;
  KeptBytes kept_;
  size_t written_ = 0;  // of the chunk whose rest is kept, for the trace
  Clock::time_point started_;
};

}  // namespace qmx
