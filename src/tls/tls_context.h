// TlsContext: what the server shows and checks in a TLS handshake, loaded
// once from PEM files: its certificate (with any intermediate certificates
// after it), its private key and, when clients must prove who they are, the
// authority whose certificates they must show.
//
// The sessions made from it speak TLS 1.2 or 1.3 (the highest both sides
// know), with forward-secret key exchange and AEAD ciphers only, no
// compression, no renegotiation and no session resumption. With a client
// authority, a client without a certificate of that authority fails the
// handshake; the authority's name is sent to clients so they know which
// certificate to show.
//
// Threads: Load runs on any thread. A loaded context never changes, so
// connections on any threads make sessions from it at once. Loading the
// files again makes a new context; connections made from the old one keep it
// (they hold a shared_ptr) until they end. Nothing throws.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace qmx {

class TlsContext {
  // Only Load makes a context (explicit, so that `{}` cannot stand for it).
  struct Private {
    explicit Private() = default;
  };

 public:
  // Reads the files; null with the failure in *failure, which names the file
  // and the reason ("/etc/qmx/server.key: No such file or directory",
  // "/etc/qmx/server.key: key does not match the certificate").
  // `clientCaFile` is "" when clients need no certificate. A key protected by
  // a passphrase is refused: there is nobody to type it in.
  static std::shared_ptr<TlsContext> Load(const std::string& certFile,
                                          const std::string& keyFile,
                                          const std::string& clientCaFile,
                                          std::string* failure);

  TlsContext(Private, ssl_ctx_st* context, bool clientCertificates);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // True when clients must show a certificate of the client authority.
  bool RequiresClientCertificate() const { return clientCertificates_; }
  // The OpenSSL context, to make sessions from (SSL_new); not to be changed.
  ssl_ctx_st* Native() const { return context_; }

 private:
  ssl_ctx_st* const context_;  // owned
  const bool clientCertificates_;
};

}  // namespace qmx
