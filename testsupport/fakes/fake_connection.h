// A fake of the client seam (net/client_connection.h), for tests of the relay
// and the commands without a socket. MakeFakeConnection gives the connection,
// which the server owns, and a FakeClientEnd, the test's side of it: what the
// client sends, how it ends, how much the server may send to it, and what the
// server sent and did.
//
// It behaves as the TCP connection does: Receive hands over what the client
// sent, then kEnded for good once the client ended its input (the server may
// still send). After the client's Reset, or the server's own Abort, both
// directions give kGone and what was waiting to be received is dropped.
// After HalfClose SendNow gives kGone (EPIPE) and input still arrives. Wanted
// asks for exactly what the owner says it wants, as TCP does.
//
// The wait handle is readable exactly while input waits, the input ended, or
// the connection is gone; writable exactly while SendNow would take a byte or
// would give kGone. A change made on the test's thread shows on it at once.
//
// Threads: the connection has one owner, as any ClientConnection. The end may
// be used from any thread, at the same time as the connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "net/client_connection.h"
#include "platform/mutex.h"

namespace qmx::testsupport {

class FakeConnection;
class WaitSignal;

class FakeClientEnd {
 public:
  static constexpr size_t kUnlimited = SIZE_MAX;

  FakeClientEnd() = default;
  FakeClientEnd(const FakeClientEnd&) = delete;
  FakeClientEnd& operator=(const FakeClientEnd&) = delete;

  // Bytes for the server's Receive, in order. False, with the bytes lost,
  // once the input ended or the connection is gone.
  bool Send(std::string_view bytes);
  // Receive gives kEnded once the bytes sent before are taken.
  void EndInput();
  // The client resets the connection: kGone both ways from now on.
  void Reset();
  // Sent and not received yet.
  size_t PendingInput() const;

  // What the server sent since the last TakeReceived.
  std::string Received() const;
  std::string TakeReceived();
  // True once Received() holds `size` bytes; false when `limit` passed first.
  bool WaitForReceived(size_t size,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

  // How many more bytes SendNow takes before it gives kWouldBlock;
  // kUnlimited (the default) takes everything.
  void SetRoom(size_t bytes);

  // What the server did with its side.
  bool HalfClosed() const;
  bool Aborted() const;
  bool Closed() const;  // the connection was destroyed

 private:
  friend class FakeConnection;

  // The connection's side.
  void Attach(WaitSignal* signal);
  void Close();
  ConnectionIo ConnectionReceive(std::span<uint8_t> into);
  ConnectionIo ConnectionSend(std::span<const uint8_t> bytes);
  void HalfClose();
  void Abort();

  bool Gone() const REQUIRES(mutex_) { return reset_ || aborted_; }
  void UpdateSignal() REQUIRES(mutex_);

  mutable Mutex mutex_;
  CondVar receivedChanged_;
  WaitSignal* signal_ GUARDED_BY(mutex_) = nullptr;
  std::deque<uint8_t> input_ GUARDED_BY(mutex_);
  bool inputEnded_ GUARDED_BY(mutex_) = false;
  bool reset_ GUARDED_BY(mutex_) = false;
  std::string received_ GUARDED_BY(mutex_);
  size_t room_ GUARDED_BY(mutex_) = kUnlimited;
  bool halfClosed_ GUARDED_BY(mutex_) = false;
  bool aborted_ GUARDED_BY(mutex_) = false;
  bool closed_ GUARDED_BY(mutex_) = false;
};

struct FakeConnectionPair {
  std::unique_ptr<ClientConnection> connection;  // null when no handle could be made
  std::shared_ptr<FakeClientEnd> client;
};

// A connection from `peer`, named `name` in the logs; an empty name gives the
// address, as the TCP connection's Name does.
FakeConnectionPair MakeFakeConnection(const IpAddress& peer, std::string name = {});

}  // namespace qmx::testsupport
