// The benchmark's TLS side: the client session it drives a TLS line with,
// and the throw-away certificate the servers present.
//
// The client is an OpenSSL session over a connected, non-blocking TCP socket,
// made not to bound what it measures: it writes a record of the largest size
// per call and reads ahead into a large buffer, so it makes few system calls
// per megabyte. It verifies nothing about the server (the certificate is the
// run's own); every server measured gets the same client.
//
// One thread at a time uses a client, as a StreamEnd.
#pragma once

#include <memory>
#include <string>

#include "stream_end.h"

struct ssl_st;  // OpenSSL's SSL

namespace qmx::bench {

// Writes a new self-signed certificate (P-256 key, subject CN localhost,
// valid for a day) and its private key as PEM to `certificatePath` and
// `keyPath`. Returns false with a reason on failure.
bool WriteSelfSignedIdentity(const std::string& certificatePath,
                             const std::string& keyPath, std::string* error);

class TlsClient final : public StreamEnd {
  // Only Connect makes a client.
  struct Private {
    explicit Private() = default;
  };

 public:
  // Takes `fd` (connected; made non-blocking) and completes the client's
  // handshake within `seconds`. Returns nullptr with a reason on failure; `fd`
  // is closed then too.
  static std::unique_ptr<TlsClient> Connect(int fd, double seconds, std::string* error);

  TlsClient(Private, int fd, ssl_st* ssl);
  // Sends a close_notify when the socket takes it at once, and closes the
  // socket.
  ~TlsClient() override;
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // What the handshake settled on: "TLSv1.3", "TLS_AES_256_GCM_SHA384".
  std::string Protocol() const;
  std::string Cipher() const;

  int Fd() const override { return fd_; }
  short Events(bool writing) const override;
  // Takes the bytes one record (16 kB) per OpenSSL call until the socket is
  // full. A record that the socket took only part of is not counted:
  // Unfinished gives its size, and the next Write finishes it first.
  ssize_t Write(const uint8_t* data, size_t size) override;
  // Record after record until `size` is reached or the socket has no more.
  ssize_t Read(uint8_t* into, size_t size) override;
  size_t Unfinished() const override { return unfinished_; }

 private:
  struct SslFree {
    void operator()(ssl_st* ssl) const;
  };
  // What a failed or blocked OpenSSL call (its result `result`) means, as
  // read(2)/write(2) would say it; a blocked call's events go to *needs.
  ssize_t Outcome(int result, short* needs);

  const int fd_;
  std::unique_ptr<ssl_st, SslFree> ssl_;
  short readNeeds_;
  short writeNeeds_;
  size_t unfinished_ = 0;
  // The last Read filled its buffer: records may wait in the session.
  bool moreInside_ = false;
};

}  // namespace qmx::bench
