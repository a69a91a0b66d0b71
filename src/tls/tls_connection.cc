// The TLS connection: an OpenSSL server session whose reads and writes go
// through the plain TCP connection of its socket (a BIO of its own), so that
// the socket calls stay in net/ (non-blocking, EINTR retried, no SIGPIPE)
// and a failed call's errno reaches the owner.
#include "tls/tls_connection.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/printable_text.h"
#include "tls/openssl_error.h"

namespace qmx {
namespace tls {

struct Transport {
  ClientConnection* tcp = nullptr;
  bool ended = false;  // the client's TCP input ended
  int error = 0;       // errno of the call that failed
};

namespace {

Transport& TransportOf(BIO* bio) { return *static_cast<Transport*>(BIO_get_data(bio)); }

int TransportWrite(BIO* bio, const char* data, size_t size, size_t* written) {
  BIO_clear_retry_flags(bio);
  Transport& transport = TransportOf(bio);
  const ConnectionIo io =
      transport.tcp->SendNow({reinterpret_cast<const uint8_t*>(data), size});
  switch (io.kind) {
    case ConnectionIo::Kind::kDone:
      *written = io.count;
      return 1;
    case ConnectionIo::Kind::kWouldBlock:
      BIO_set_retry_write(bio);
      return 0;
    case ConnectionIo::Kind::kEnded:
    case ConnectionIo::Kind::kGone:
      break;
  }
  transport.error = io.error != 0 ? io.error : EPIPE;
  return 0;
}

int TransportRead(BIO* bio, char* into, size_t size, size_t* read) {
  BIO_clear_retry_flags(bio);
  Transport& transport = TransportOf(bio);
  const ConnectionIo io =
      transport.tcp->Receive({reinterpret_cast<uint8_t*>(into), size});
  switch (io.kind) {
    case ConnectionIo::Kind::kDone:
      *read = io.count;
      return 1;
    case ConnectionIo::Kind::kWouldBlock:
      BIO_set_retry_read(bio);
      return 0;
    case ConnectionIo::Kind::kEnded:
      // OpenSSL asks BIO_eof next, to tell a cut session from a failed read.
      transport.ended = true;
      return 0;
    case ConnectionIo::Kind::kGone:
      break;
  }
  transport.error = io.error != 0 ? io.error : ECONNRESET;
  return 0;
}

long TransportControl(BIO* bio, int command, long, void*) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;  // a write reached the socket or did not happen: nothing is held
    case BIO_CTRL_EOF:
      return TransportOf(bio).ended ? 1 : 0;
    default:
      return 0;
  }
}

int TransportCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once, never changed, and kept for the process: every session's BIO
// points to it.
const BIO_METHOD* TransportMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made =
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qmx client connection");
    if (made != nullptr) {
      BIO_meth_set_write_ex(made, TransportWrite);
      BIO_meth_set_read_ex(made, TransportRead);
      BIO_meth_set_ctrl(made, TransportControl);
      BIO_meth_set_create(made, TransportCreate);
    }
    return made;
  }();
  return method;
}

constexpr WantedEvents kReadable{true, false};
constexpr WantedEvents kWritable{false, true};

}  // namespace
}  // namespace tls

void TlsConnection::SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsConnection::TlsConnection(int fd, const IpAddress& peer,
                             std::shared_ptr<const TlsContext> context)
    : context_(std::move(context)),
      tcp_(MakeTcpConnection(fd, peer)),
      transport_(std::make_unique<tls::Transport>()) {
  transport_->tcp = tcp_.get();
  MutexLock lock(mutex_);
  if (!context_) {
    (void)Fail(0, "no TLS context");
    return;
  }
  ERR_clear_error();
  ssl_.reset(SSL_new(context_->Native()));
  const BIO_METHOD* method = tls::TransportMethod();
  BIO* bio = ssl_ && method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    (void)Fail(ENOMEM, "no TLS session: " + tls::TakeOpenSslReason());
    return;
  }
  BIO_set_data(bio, transport_.get());
  SSL_set_bio(ssl_.get(), bio, bio);
  SSL_set_accept_state(ssl_.get());
  // SendNow reports a send that only got as far as a TLS record waiting in
  // the session as kWouldBlock; the owner's retry then finds that record's
  // bytes at another address (its backlog moved them) and perhaps more.
  SSL_set_mode(ssl_.get(),
               SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A TCP end without a close_notify then reads as the end of the client's
  // input (SSL_ERROR_ZERO_RETURN) instead of a fatal error, which would also
  // send the client an alert and stop the server's own output.
  SSL_set_options(ssl_.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
}

TlsConnection::~TlsConnection() {
  MutexLock lock(mutex_);
  // Tells the client the session ended, where that fits now, so that it can
  // tell the end from a cut connection.
  if (!gone_ && established_ && (!halfClosed_ || closePending_)) {
    ERR_clear_error();
    (void)SSL_shutdown(ssl_.get());
    ERR_clear_error();
  }
}

ConnectionIo TlsConnection::Handshake() {
  MutexLock lock(mutex_);
  if (gone_) return goneIo_;
  if (established_) return {};
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  if (result == 1) {
    NoteEstablished();
    return {};
  }
  const ConnectionIo io = Outcome(result, &handshakeNeeds_);
  if (io.kind == ConnectionIo::Kind::kEnded)
    return Fail(0, "session ended in the handshake");
  return io;
}

ConnectionIo TlsConnection::Receive(std::span<uint8_t> into) {
  MutexLock lock(mutex_);
  if (gone_) return goneIo_;
  FinishHalfClose();
  if (into.empty()) return {};
  // Record after record up to the owner's room: fewer calls, and less left
  // in the session, where the socket cannot show it.
  size_t total = 0;
  while (total < into.size()) {
    size_t count = 0;
    ERR_clear_error();
    const int result =
        SSL_read_ex(ssl_.get(), into.data() + total, into.size() - total, &count);
    NoteEstablished();
    if (result == 1) {
      total += count;
      inputNeeds_ = tls::kReadable;
      continue;
    }
    const ConnectionIo io = Outcome(result, NeedsOf(&inputNeeds_));
    // The bytes go first; an end stays in the session, a failure in gone_,
    // for the next call.
    if (total == 0) return io;
    break;
  }
  return {ConnectionIo::Kind::kDone, total, 0};
}

ConnectionIo TlsConnection::SendNow(std::span<const uint8_t> bytes) {
  MutexLock lock(mutex_);
  if (gone_) return goneIo_;
  FinishHalfClose();
  if (bytes.empty()) return {};
  // As for a socket whose output was shut; input may still arrive.
  if (halfClosed_) return {ConnectionIo::Kind::kGone, 0, EPIPE};
  // With partial writes each call takes one record: on until the socket is full.
  size_t total = 0;
  while (total < bytes.size()) {
    size_t count = 0;
    ERR_clear_error();
    const int result =
        SSL_write_ex(ssl_.get(), bytes.data() + total, bytes.size() - total, &count);
    NoteEstablished();
    if (result == 1) {
      total += count;
      outputNeeds_ = tls::kWritable;
      continue;
    }
    ConnectionIo io = Outcome(result, NeedsOf(&outputNeeds_));
    if (io.kind == ConnectionIo::Kind::kEnded) io = Fail(EPIPE, "the session ended");
    if (total == 0) return io;
    break;
  }
  return {ConnectionIo::Kind::kDone, total, 0};
}

WantedEvents TlsConnection::Wanted(bool wantInput, bool haveOutput) const {
  MutexLock lock(mutex_);
  if (gone_) return {wantInput, haveOutput};
  if (!established_) return handshakeNeeds_;
  WantedEvents wanted;
  const auto add = [&wanted](WantedEvents needs) {
    wanted.readable = wanted.readable || needs.readable;
    wanted.writable = wanted.writable || needs.writable;
  };
  if (wantInput)
    add(SSL_pending(ssl_.get()) > 0 ? WantedEvents{true, true} : inputNeeds_);
  if (haveOutput) add(outputNeeds_);
  if (closePending_) add(tls::kWritable);
  return wanted;
}

void TlsConnection::HalfClose() {
  MutexLock lock(mutex_);
  if (gone_ || halfClosed_) return;
  halfClosed_ = true;
  if (!established_) {
    tcp_->HalfClose();  // no session to end yet
    return;
  }
  closePending_ = true;
  FinishHalfClose();
}

void TlsConnection::FinishHalfClose() {
  if (!closePending_) return;
  ERR_clear_error();
  const int result = SSL_shutdown(ssl_.get());
  if (result < 0) {
    const int code = SSL_get_error(ssl_.get(), result);
    if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) return;
  }
  // Sent, or the connection failed: Receive finds out which.
  ERR_clear_error();
  closePending_ = false;
  tcp_->HalfClose();
}

void TlsConnection::Abort() {
  MutexLock lock(mutex_);
  tcp_->Abort();
  if (!gone_) (void)Fail(0, "reset by the server");
}

std::string TlsConnection::Name() const {
  MutexLock lock(mutex_);
  return commonName_.empty() ? tcp_->Name() : PrintableText(commonName_);
}

std::string TlsConnection::Failure() const {
  MutexLock lock(mutex_);
  return failure_;
}

std::string TlsConnection::InputEndNote() const {
  MutexLock lock(mutex_);
  return withoutCloseNotify_ ? "ended without a close_notify" : "";
}

std::string TlsConnection::PeerCommonName() const {
  MutexLock lock(mutex_);
  return commonName_;
}

std::string TlsConnection::Protocol() const {
  MutexLock lock(mutex_);
  return protocol_;
}

ConnectionIo TlsConnection::Outcome(int result, WantedEvents* needs) {
  const int code = SSL_get_error(ssl_.get(), result);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    *needs = code == SSL_ERROR_WANT_READ ? tls::kReadable : tls::kWritable;
    return {ConnectionIo::Kind::kWouldBlock, 0, 0};
  }
  if (transport_->error != 0)
    return Fail(transport_->error, std::strerror(transport_->error));
  if (transport_->ended && !established_)
    return Fail(0, "the connection ended in the handshake");
  if (code == SSL_ERROR_ZERO_RETURN) {
    // Only a TCP end makes the transport see one: a close_notify is read
    // record by record, without reading past it.
    if (transport_->ended) withoutCloseNotify_ = true;
    return {ConnectionIo::Kind::kEnded, 0, 0};
  }
  std::string reason = code == SSL_ERROR_SYSCALL && ERR_peek_error() == 0
                           ? "the connection failed"
                           : tls::TakeOpenSslReason();
  const long verified = SSL_get_verify_result(ssl_.get());
  if (verified != X509_V_OK)
    reason += std::string(": ") + X509_verify_cert_error_string(verified);
  return Fail(0, std::move(reason));
}

ConnectionIo TlsConnection::Fail(int error, std::string failure) {
  ERR_clear_error();
  gone_ = true;
  goneIo_ = {ConnectionIo::Kind::kGone, 0, error};
  failure_ = std::move(failure);
  return goneIo_;
}

WantedEvents* TlsConnection::NeedsOf(WantedEvents* direction) {
  return established_ ? direction : &handshakeNeeds_;
}

void TlsConnection::NoteEstablished() {
  if (established_ || !SSL_is_init_finished(ssl_.get())) return;
  established_ = true;
  protocol_ = SSL_get_version(ssl_.get());
  // Only a certificate the handshake verified names the client.
  const X509* certificate = SSL_get0_peer_certificate(ssl_.get());
  if (!context_->RequiresClientCertificate() || certificate == nullptr ||
      SSL_get_verify_result(ssl_.get()) != X509_V_OK)
    return;
  const X509_NAME* subject = X509_get_subject_name(certificate);
  const int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0) return;
  unsigned char* text = nullptr;
  const int length = ASN1_STRING_to_UTF8(
      &text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (length > 0) commonName_.assign(reinterpret_cast<const char*>(text), length);
  OPENSSL_free(text);
}

std::unique_ptr<ClientConnection> MakeTlsConnection(
    int fd, const IpAddress& peer, std::shared_ptr<const TlsContext> context) {
  return std::make_unique<TlsConnection>(fd, peer, std::move(context));
}

}  // namespace qmx
