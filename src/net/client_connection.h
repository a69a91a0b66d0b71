// ClientConnection: one client of a line, as the server uses it, behind one
// small interface, so that the relay and the commands can be run against a
// fake client in a test, and so that an encrypted connection can later take
// a plain one's place without the rest of the server knowing.
//
// Nothing waits: Receive takes what has arrived, SendNow sends what the
// connection takes now, and the owner waits on WaitHandle for the events
// WantedEvents names. A connection may need to write in order to read, or
// the other way round (a TLS session does), so the owner asks each time
// before it waits instead of assuming readable for input and writable for
// output. Destroying a connection closes it.
//
// Threads: a connection has one owner, which alone calls it, for both
// directions.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "net/net_access.h"

namespace qmx {

// The outcome of one receive or send.
struct ConnectionIo {
  enum class Kind {
    kDone,        // `count` bytes moved (0 only for an empty request)
    kWouldBlock,  // nothing now; wait for WantedEvents
    kEnded,       // receive: the client ended its input; it may still read
    kGone,        // the connection failed or was reset: nothing more either way
  };
  Kind kind = Kind::kDone;
  size_t count = 0;
  int error = 0;  // with kGone, the errno when there was one
};

// Poll events (as in poll(2): 1 readable, 4 writable) the owner waits for.
struct WantedEvents {
  bool readable = false;
  bool writable = false;
};

// What a connection carried, counted by the threads that move its bytes
// (relaxed adds, once per chunk), and when it was made.
struct ClientTally {
  std::atomic<uint64_t> received{0};  // bytes the client sent
  std::atomic<uint64_t> sent{0};      // bytes handed to its socket
  const std::chrono::system_clock::time_point since = std::chrono::system_clock::now();
};

class ClientConnection {
 public:
  virtual ~ClientConnection() = default;

  ClientTally tally;

  // Settles what must be settled before any byte moves (an encrypted
  // connection's handshake): kDone once it is, kWouldBlock to wait for
  // Wanted(true, false) and call again, kGone when it failed, with Failure()
  // saying why. A plain connection is settled at once.
  virtual ConnectionIo Handshake() { return {}; }
  virtual std::string Failure() const { return {}; }
  // How the client's input ended, when that is worth a word in the log
  // beside a kEnded ("ended without a close_notify"); "" for a plain end.
  virtual std::string InputEndNote() const { return {}; }

  virtual ConnectionIo Receive(std::span<uint8_t> into) = 0;
  virtual ConnectionIo SendNow(std::span<const uint8_t> bytes) = 0;

  virtual int WaitHandle() const = 0;
  // What to wait for: `wantInput` when the owner would take input now,
  // `haveOutput` when it holds bytes for the client.
  virtual WantedEvents Wanted(bool wantInput, bool haveOutput) const = 0;

  // Ends what the server sends once all of it is handed over (the client
  // reads it, then the end); input may still arrive.
  virtual void HalfClose() = 0;
  // Ends the connection with a reset, at once: for a client that stopped
  // reading, whose unread bytes would otherwise keep an orderly end waiting.
  virtual void Abort() = 0;

  virtual const IpAddress& Peer() const = 0;
  // How the logs name the client: its address, or a certificate's name.
  virtual std::string Name() const = 0;
  // The common name of a client certificate the handshake verified; empty
  // for a client that presented none (every plain connection).
  virtual std::string CertifiedName() const { return {}; }
};

// A plain TCP connection over an accepted socket `fd`, which it owns from
// now on: non-blocking, TCP_NODELAY and keep-alive set.
std::unique_ptr<ClientConnection> MakeTcpConnection(int fd, const IpAddress& peer);

// Makes the connection for a socket a line accepted (MakeTcpConnection, or
// an encrypted one); it owns `fd` from then on. May run on several lines'
// threads at once.
using ConnectionMaker =
    std::function<std::unique_ptr<ClientConnection>(int fd, const IpAddress& peer)>;

}  // namespace qmx
