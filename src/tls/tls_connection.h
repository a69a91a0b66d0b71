// A TLS client of a line: a ClientConnection that runs an OpenSSL server
// session over the plain TCP connection of the accepted socket, so the
// server moves plaintext while the socket carries TLS records.
//
// Nothing waits, as for a plain connection, but a TLS session sometimes has
// to write in order to read (answering a key update) or read in order to
// write, so Wanted reports what the last blocked call of each direction
// needs, not merely readable for input and writable for output. The
// handshake runs first (Handshake, called again whenever Wanted(true, false)
// is met); Receive and SendNow would also drive it, for an owner that never
// calls Handshake.
//
// Beyond the plain connection's rules:
//  - Receive gives kEnded when the client ended its side with a close_notify,
//    and also when its TCP input ended without one (a client that was
//    killed, or closed its socket without ending the session, as some tools
//    and scripts do): the records before that end were whole and
//    authenticated, and the server has them either way, so it ends the
//    client's input as a FIN does on a plain line, and the server may still
//    send. InputEndNote says the close_notify was missing. A record the end
//    cut short was never authenticated: it is dropped. A TCP end before the
//    handshake completed fails it (kGone).
//  - SendNow may take bytes into a TLS record that does not yet fit the
//    socket and still report kWouldBlock: the next SendNow must start with
//    the same bytes (at least as many; they may have moved in memory). The
//    server's output backlogs do so by construction.
//  - Decrypted input the owner had no room for stays in the session, where
//    the socket cannot show it: Wanted then asks for readable and writable,
//    so that the wait ends at once (a socket is almost always writable).
//  - HalfClose sends a close_notify and then ends the socket's output; when
//    the close_notify finds no room, Wanted asks for writable until it is out,
//    and the next Receive, SendNow or Handshake call sends it.
//  - Abort resets the socket at once, without a TLS alert.
//
// Threads: one owner calls it, as for any ClientConnection. While a line's
// input and output still run on separate threads, the session is locked
// around every OpenSSL call (a session takes one thread at a time, and a
// TLS 1.3 read may write); the lock is a leaf, and no call waits under it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "net/client_connection.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tls/tls_context.h"

struct ssl_st;  // OpenSSL's SSL

namespace qmx {
namespace tls {
struct Transport;  // the session's way to the socket (tls_connection.cc)
}

class TlsConnection final : public ClientConnection {
 public:
  // Takes the accepted socket `fd` (made non-blocking, TCP_NODELAY and
  // keep-alive set, as for a plain connection). A session that cannot be
  // made (no memory) fails its handshake.
  TlsConnection(int fd, const IpAddress& peer, std::shared_ptr<const TlsContext> context);
  ~TlsConnection() override;
  TlsConnection(const TlsConnection&) = delete;
  TlsConnection& operator=(const TlsConnection&) = delete;

  // One step of the server's handshake: kDone once it is complete (at once
  // after that), kWouldBlock while it waits for the client (wait for
  // Wanted(true, false) and call again), kGone when it failed: not TLS, a
  // refused protocol version, a missing or untrusted client certificate.
  ConnectionIo Handshake() override;
  // Why the connection went (a handshake's failure: "wrong version number",
  // "peer did not return a certificate"); "" while it has not.
  std::string Failure() const override;
  // "ended without a close_notify" once Receive gave kEnded for a TCP end
  // that came without one; "" otherwise.
  std::string InputEndNote() const override;

  // The common name of the client's certificate once the handshake verified
  // one; "" without a client authority, or before the handshake completed.
  std::string PeerCommonName() const;
  std::string CertifiedName() const override { return PeerCommonName(); }
  // The protocol the handshake settled on ("TLSv1.3", "TLSv1.2"); "" before.
  std::string Protocol() const;

  ConnectionIo Receive(std::span<uint8_t> into) override;
  ConnectionIo SendNow(std::span<const uint8_t> bytes) override;
  int WaitHandle() const override { return tcp_->WaitHandle(); }
  WantedEvents Wanted(bool wantInput, bool haveOutput) const override;
  void HalfClose() override;
  void Abort() override;
  const IpAddress& Peer() const override { return tcp_->Peer(); }
  // The verified client certificate's common name (made printable), else
  // the client's address.
  std::string Name() const override;

 private:
  struct SslFree {
    void operator()(ssl_st* ssl) const;
  };

  // What a failed or blocked OpenSSL call (its result `result`) means for the
  // owner; a blocked call's needs go to *needs.
  ConnectionIo Outcome(int result, WantedEvents* needs) REQUIRES(mutex_);
  // Ends the connection both ways with the reason `failure`.
  ConnectionIo Fail(int error, std::string failure) REQUIRES(mutex_);
  // Notes the handshake's results once an OpenSSL call completed it.
  void NoteEstablished() REQUIRES(mutex_);
  // Where a blocked call records its needs: the handshake's until it is done.
  WantedEvents* NeedsOf(WantedEvents* direction) REQUIRES(mutex_);
  // Sends a close_notify that waits for room, and then ends the output.
  void FinishHalfClose() REQUIRES(mutex_);

  const std::shared_ptr<const TlsContext> context_;
  const std::unique_ptr<ClientConnection> tcp_;
  // Used by the session's reads and writes, only inside OpenSSL calls made
  // with mutex_ held.
  const std::unique_ptr<tls::Transport> transport_;
  mutable Mutex mutex_;
  // Declared after tcp_ and transport_, which its reads and writes use, so
  // that it goes first.
  std::unique_ptr<ssl_st, SslFree> ssl_ GUARDED_BY(mutex_);

  bool established_ GUARDED_BY(mutex_) = false;
  bool gone_ GUARDED_BY(mutex_) = false;
  ConnectionIo goneIo_ GUARDED_BY(mutex_);
  std::string failure_ GUARDED_BY(mutex_);
  bool withoutCloseNotify_ GUARDED_BY(mutex_) = false;  // the input's end
  bool halfClosed_ GUARDED_BY(mutex_) = false;
  bool closePending_ GUARDED_BY(mutex_) = false;  // close_notify waits for room
  // What the last blocked call of each kind waits for.
  WantedEvents handshakeNeeds_ GUARDED_BY(mutex_){true, false};
  WantedEvents inputNeeds_ GUARDED_BY(mutex_){true, false};
  WantedEvents outputNeeds_ GUARDED_BY(mutex_){false, true};
  std::string commonName_ GUARDED_BY(mutex_);
  std::string protocol_ GUARDED_BY(mutex_);
};

// The connection for a socket a TLS line accepted; it owns `fd` from now on.
std::unique_ptr<ClientConnection> MakeTlsConnection(
    int fd, const IpAddress& peer, std::shared_ptr<const TlsContext> context);

}  // namespace qmx
