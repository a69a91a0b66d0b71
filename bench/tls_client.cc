#include "tls_client.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

namespace qmx::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The largest TLS record's plaintext: one OpenSSL call per record.
constexpr size_t kRecord = 16384;
// Read-ahead room for four full records with their overhead, so that a
// stream of records comes in with few reads.
constexpr size_t kReadAhead = 4 * (kRecord + 512);

struct Free {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// The oldest reason on OpenSSL's error queue, which it empties.
std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL failure";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// One context for every client of the run, made on first use.
SSL_CTX* ClientContext() {
  static SSL_CTX* const context = [] {
    SSL_CTX* made = SSL_CTX_new(TLS_client_method());
    if (made == nullptr) return made;
    SSL_CTX_set_min_proto_version(made, TLS1_2_VERSION);
    SSL_CTX_set_verify(made, SSL_VERIFY_NONE, nullptr);
    // A server that closes without a close_notify reads as an ended stream,
    // which the measurement reports as such.
    SSL_CTX_set_options(made, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(made,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(made, 1);
    SSL_CTX_set_default_read_buffer_len(made, kReadAhead);
    return made;
  }();
  return context;
}

bool WritePem(const std::string& path, const std::function<int(BIO*)>& write,
              std::string* error) {
  Owned<BIO> out(BIO_new_file(path.c_str(), "w"));
  if (!out || write(out.get()) != 1) {
    *error = path + ": " + OpenSslReason();
    return false;
  }
  return true;
}

}  // namespace

bool WriteSelfSignedIdentity(const std::string& certificatePath,
                             const std::string& keyPath, std::string* error) {
  ERR_clear_error();
  Owned<EVP_PKEY> key(EVP_EC_gen("P-256"));
  Owned<X509> certificate(X509_new());
  bool made = key && certificate;
  if (made) {
    X509_NAME* name = X509_get_subject_name(certificate.get());
    made = X509_set_version(certificate.get(), X509_VERSION_3) == 1 &&
           ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1) == 1 &&
           X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -60) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400) != nullptr &&
           X509_set_pubkey(certificate.get(), key.get()) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("localhost"),
                                      -1, -1, 0) == 1 &&
           X509_set_issuer_name(certificate.get(), name) == 1 &&
           X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
  }
  if (!made) {
    *error = "cannot make a certificate: " + OpenSslReason();
    return false;
  }
  return WritePem(
             certificatePath,
             [&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()); },
             error) &&
         WritePem(
             keyPath,
             [&](BIO* out) {
               return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0,
                                               nullptr, nullptr);
             },
             error);
}

void TlsClient::SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsClient::TlsClient(Private, int fd, ssl_st* ssl)
    : fd_(fd), ssl_(ssl), readNeeds_(POLLIN), writeNeeds_(POLLOUT) {}

std::unique_ptr<TlsClient> TlsClient::Connect(int fd, double seconds,
                                              std::string* error) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  ERR_clear_error();
  SSL_CTX* context = ClientContext();
  SSL* ssl = context != nullptr ? SSL_new(context) : nullptr;
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
    *error = "no TLS session: " + OpenSslReason();
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  auto client = std::make_unique<TlsClient>(Private{}, fd, ssl);
  SSL_set_connect_state(ssl);
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds));
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl);
    if (result == 1) return client;
    short needs = POLLIN;
    const ssize_t outcome = client->Outcome(result, &needs);
    if (outcome == 0) errno = ECONNRESET;  // the server ended the session
    if (outcome == 0 || errno != EAGAIN) {
      *error =
          "TLS handshake failed: " +
          (ERR_peek_error() != 0 ? OpenSslReason() : std::string(std::strerror(errno)));
      return nullptr;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, needs, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0) {
      char limit[32];
      std::snprintf(limit, sizeof limit, "%g", seconds);
      *error = std::string("no TLS handshake within ") + limit + " s";
      return nullptr;
    }
  }
}

TlsClient::~TlsClient() {
  ERR_clear_error();
  (void)SSL_shutdown(ssl_.get());
  ERR_clear_error();
  ssl_.reset();
  ::close(fd_);
}

std::string TlsClient::Protocol() const { return SSL_get_version(ssl_.get()); }

std::string TlsClient::Cipher() const {
  const char* name = SSL_get_cipher_name(ssl_.get());
  return name != nullptr ? name : "";
}

short TlsClient::Events(bool writing) const {
  if (writing) return writeNeeds_;
  return moreInside_ ? static_cast<short>(POLLIN | POLLOUT) : readNeeds_;
}

ssize_t TlsClient::Write(const uint8_t* data, size_t size) {
  size_t taken = 0;
  while (taken < size) {
    // An unfinished record is offered again with the length it was begun with.
    const size_t record = unfinished_ > 0 ? unfinished_ : std::min(size - taken, kRecord);
    if (record > size - taken) {
      errno = EINVAL;  // the caller did not offer the unfinished record again
      return -1;
    }
    size_t count = 0;
    ERR_clear_error();
    const int result = SSL_write_ex(ssl_.get(), data + taken, record, &count);
    if (result == 1) {
      taken += count;
      unfinished_ = 0;
      writeNeeds_ = POLLOUT;
      continue;
    }
    const ssize_t failed = Outcome(result, &writeNeeds_);
    if (failed == -1 && errno == EAGAIN) unfinished_ = record;
    if (taken == 0) {
      if (failed == 0) errno = EPIPE;  // the session ended: no more writing
      return -1;
    }
    break;  // the blocked or failed call comes again on the next Write
  }
  return static_cast<ssize_t>(taken);
}

ssize_t TlsClient::Read(uint8_t* into, size_t size) {
  size_t total = 0;
  while (total < size) {
    size_t count = 0;
    ERR_clear_error();
    const int result = SSL_read_ex(ssl_.get(), into + total, size - total, &count);
    if (result == 1) {
      total += count;
      readNeeds_ = POLLIN;
      continue;
    }
    moreInside_ = false;
    const ssize_t failed = Outcome(result, &readNeeds_);
    if (total == 0) return failed;
    return static_cast<ssize_t>(total);  // the end or failure stays for the next call
  }
  // Full: more records may wait in the read-ahead buffer, where poll does not
  // see them, until a Read finds the end of what came.
  moreInside_ = true;
  return static_cast<ssize_t>(total);
}

ssize_t TlsClient::Outcome(int result, short* needs) {
  const int saved = errno;
  const int code = SSL_get_error(ssl_.get(), result);
  switch (code) {
    case SSL_ERROR_WANT_READ:
      *needs = POLLIN;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_WANT_WRITE:
      *needs = POLLOUT;
      errno = EAGAIN;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:
      errno = saved != 0 && saved != EAGAIN ? saved : ECONNRESET;
      return -1;
    default:
      errno = EPROTO;
      return -1;
  }
}

}  // namespace qmx::bench
