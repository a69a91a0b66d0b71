// Clients of the server's lines for load runs, on 127.0.0.1: a socket owner
// with bounded reads and writes, the ways a client may come and go (churn),
// and a control-line session that runs commands and sends garbage.
//
// Every call that waits takes a time limit; none waits longer. Objects are
// used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace qmx::load {

using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// A connected TCP socket (non-blocking, TCP_NODELAY), closed on destruction.
class LineSocket {
 public:
  LineSocket() = default;
  // Connects to 127.0.0.1:port within `timeout`; `receiveBuffer` > 0 sets
  // SO_RCVBUF first (a small one makes a stalled client back up sooner).
  // connected() tells whether it worked.
  LineSocket(int port, Millis timeout, int receiveBuffer = 0);
  ~LineSocket();
  LineSocket(LineSocket&& other) noexcept;
  LineSocket& operator=(LineSocket&& other) noexcept;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Sends every byte within the time; false when the peer failed or time ran out.
  bool SendAll(std::string_view bytes, Millis timeout);
  // Reads until the text received contains `needle`, the peer closes, or the
  // time runs out; returns everything received.
  std::string ReadUntil(std::string_view needle, Millis timeout);
  // Reads and throws away whatever is waiting now.
  size_t Discard();
  // True once the server has closed or reset the connection, even while
  // unread bytes are still waiting here.
  bool PeerClosed() const;
  bool WaitPeerClosed(Millis timeout) const;

  void Close();
  // Closes with SO_LINGER 0: the server sees a reset, not an orderly end.
  void Reset();

 private:
  int fd_ = -1;
};

// Connects to a data line and resets the connection at once. A client that
// ended its input and then closed holds its line until the next client
// comes, as the server cannot see that close before it sends to it; this is
// that next client, gone at once, so the line then holds nothing. False when
// no connection could be made.
bool ReleaseEndedClient(int port, Millis timeout);

// The ways a churning client uses a line once.
enum class ChurnKind {
  kOrderly,         // connects, sends a byte, closes
  kReset,           // connects, closes with a reset
  kCloseAtOnce,     // connects and closes at once, usually before the accept
  kAbandonConnect,  // closes while its connect is still under way
  kResetMidStream,  // sends a few kilobytes and resets without reading
  kCount
};
const char* ChurnKindName(ChurnKind kind);

// One churn cycle on `port`; false when the connection could not even be
// made (a refused or timed-out connect).
bool ChurnOnce(int port, ChurnKind kind);

// Connects, sends `token` and waits for it to come back through the echo
// device (bytes from earlier clients of the line may come first).
bool ProbeLine(int port, std::string_view token, Millis timeout);

// The control line from a client's side.
class ControlSession {
 public:
  // Connects and reads the greeting; connected() tells whether both worked.
  ControlSession(int port, Millis timeout);
  bool connected() const { return socket_.connected() && !greeting_.empty(); }
  const std::string& greeting() const { return greeting_; }

  // Sends `command` and CR; returns the reply (up to its CR LF, or the
  // status report's last row), or "" when none came in time.
  std::string Command(std::string_view command, Millis timeout);
  // Sends `bytes` split into `pieces` sends, reading and discarding what
  // comes back meanwhile; false when the connection failed.
  bool SendGarbage(std::string_view bytes, size_t pieces, Millis timeout);
  // Ends any unfinished line and checks that `hello` is answered.
  bool AnswersHello(Millis timeout);

  LineSocket& socket() { return socket_; }

 private:
  LineSocket socket_;
  std::string greeting_;
  unsigned sequence_ = 0;
};

// Garbage for the control line.
enum class GarbageKind {
  kRandom,     // any byte values, CR and 0xFF included
  kFfStorm,    // 0xFF only: each asks for the greeting
  kNuls,       // NULs only
  kOverlong,   // one line far beyond the line buffer
  kCrLfStorm,  // empty lines
  kCount
};
const char* GarbageKindName(GarbageKind kind);
std::string MakeGarbage(GarbageKind kind, size_t size, std::mt19937_64& random);

}  // namespace qmx::load
