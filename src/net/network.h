// Listener and Network: where a line's clients come from, behind one small
// interface, so that the lines, the relay and the commands can be run against
// fake clients in a test, without a socket.
//
// A Listener hands out the clients that connected to one line, as
// ClientConnections; it never waits: Accept takes a client that is there
// now, and its owner waits on WaitHandle (readable: a client may be there).
// A Network makes listeners. The socket layer uses the real one (its own
// listening sockets) unless it is given another.
//
// Threads: a listener has one owner; the control line's sessions share it,
// so Accept may run on several of their threads at once (each client goes to
// one of them). A Network may be asked for listeners from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "net/client_connection.h"

namespace qmx {

class Listener {
 public:
  virtual ~Listener() = default;
  // The next client, or null: then *error is 0 when no client waits now, or
  // the errno of a failed accept (socket_layer's accept loop decides what a
  // failure means).
  virtual std::unique_ptr<ClientConnection> Accept(int* error) = 0;
  // Readable while a client may be waiting.
  virtual int WaitHandle() const = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // A listener for TCP port `port` (host order); null with an errno value or
  // TCP_ERROR_* in *error when the port cannot be had.
  virtual std::unique_ptr<Listener> Listen(uint16_t port, int* error) = 0;
};

}  // namespace qmx
