// Loading a TlsContext. The files are read here rather than by OpenSSL's own
// file helpers, whose last error is often a generic one, so that each failure
// names its file and a reason an operator can act on.
#include "tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "tls/openssl_error.h"

namespace qmx {
namespace {

struct Free {
  void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

// The suites offered to a client that cannot do TLS 1.3: ephemeral
// elliptic-curve key exchange with an AEAD cipher. TLS 1.3's own suites are
// OpenSSL's defaults, all of which are of that kind.
constexpr char kTls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// Gives no passphrase: an encrypted key fails to load instead of the server
// asking for one on a terminal that nobody watches.
int NoPassphrase(char*, int, int, void*) { return -1; }

// True when the last error on the queue is `reason` of library `library`.
bool LastErrorIs(int library, int reason) {
  const unsigned long last = ERR_peek_last_error();
  return ERR_GET_LIB(last) == library && ERR_GET_REASON(last) == reason;
}

// PEM's "no start line": the file has no (further) PEM block of the kind
// asked for.
bool NoMorePem() { return LastErrorIs(ERR_LIB_PEM, PEM_R_NO_START_LINE); }

Owned<BIO> OpenFile(const std::string& path, std::string* failure) {
  Owned<BIO> in(BIO_new_file(path.c_str(), "r"));
  if (!in) *failure = path + ": " + tls::TakeOpenSslReason();
  return in;
}

// The certificates of a PEM file, in file order; false with *failure when
// the file cannot be read, holds none, or holds one that does not parse.
bool ReadCertificates(const std::string& path, std::vector<Owned<X509>>* out,
                      std::string* failure) {
  ERR_clear_error();
  Owned<BIO> in = OpenFile(path, failure);
  if (!in) return false;
  while (X509* certificate = PEM_read_bio_X509(in.get(), nullptr, NoPassphrase, nullptr))
    out->emplace_back(certificate);
  if (NoMorePem()) {
    ERR_clear_error();
    if (!out->empty()) return true;
    *failure = path + ": no PEM certificate in it";
    return false;
  }
  *failure = path + ": " + tls::TakeOpenSslReason();
  return false;
}

Owned<EVP_PKEY> ReadKey(const std::string& path, std::string* failure) {
  ERR_clear_error();
  Owned<BIO> in = OpenFile(path, failure);
  if (!in) return nullptr;
  Owned<EVP_PKEY> key(PEM_read_bio_PrivateKey(in.get(), nullptr, NoPassphrase, nullptr));
  if (key) return key;
  // OpenSSL's own words for these ("unsupported": its decoders found no
  // key; "bad password read") would leave an operator guessing.
  if (NoMorePem() || LastErrorIs(ERR_LIB_OSSL_DECODER, ERR_R_UNSUPPORTED)) {
    *failure = path + ": no PEM private key in it";
  } else if (LastErrorIs(ERR_LIB_PEM, PEM_R_BAD_PASSWORD_READ)) {
    *failure = path + ": the key is protected by a passphrase";
  } else {
    *failure = path + ": " + tls::TakeOpenSslReason();
  }
  ERR_clear_error();
  return nullptr;
}

// The protocol rules every session of the server follows.
bool SetRules(SSL_CTX* context, std::string* failure) {
  // 1.2 at least; the highest both sides know, so 1.3 wherever the client has it.
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, 0);
  // Renegotiation is refused whoever starts it (1.3 has none). Sessions are
  // not resumed: a line's client connects rarely, and every handshake then
  // checks its certificate afresh.
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                   SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
  SSL_CTX_clear_options(context, SSL_OP_ALLOW_CLIENT_RENEGOTIATION |
                                     SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION);
  SSL_CTX_set_num_tickets(context, 0);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  static constexpr unsigned char kSessionContext[] = "qmx";
  if (SSL_CTX_set_cipher_list(context, kTls12Ciphers) != 1 ||
      SSL_CTX_set_session_id_context(context, kSessionContext,
                                     sizeof(kSessionContext) - 1) != 1) {
    *failure = "TLS settings: " + tls::TakeOpenSslReason();
    return false;
  }
  return true;
}

// The server's certificate, its chain and its key.
bool SetIdentity(SSL_CTX* context, const std::string& certFile,
                 const std::string& keyFile, std::string* failure) {
  std::vector<Owned<X509>> chain;
  if (!ReadCertificates(certFile, &chain, failure)) return false;
  bool used = SSL_CTX_use_certificate(context, chain.front().get()) == 1;
  for (size_t i = 1; used && i < chain.size(); ++i)
    used = SSL_CTX_add1_chain_cert(context, chain[i].get()) == 1;
  if (!used) {
    *failure = certFile + ": " + tls::TakeOpenSslReason();
    return false;
  }
  const Owned<EVP_PKEY> key = ReadKey(keyFile, failure);
  if (!key) return false;
  // A key of another type is taken for another certificate slot, so only the
  // check afterwards sees that this certificate still has none.
  if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    *failure = keyFile + ": key does not match the certificate";
    return false;
  }
  return true;
}

// Makes every client show a certificate signed by an authority of `caFile`,
// which is both what the client's chain is checked against and the list of
// names the client is told to choose its certificate by.
bool RequireClientCertificates(SSL_CTX* context, const std::string& caFile,
                               std::string* failure) {
  std::vector<Owned<X509>> authorities;
  if (!ReadCertificates(caFile, &authorities, failure)) return false;
  X509_STORE* trusted = SSL_CTX_get_cert_store(context);
  for (const Owned<X509>& authority : authorities) {
    if (X509_STORE_add_cert(trusted, authority.get()) != 1 ||
        SSL_CTX_add_client_CA(context, authority.get()) != 1) {
      *failure = caFile + ": " + tls::TakeOpenSslReason();
      return false;
    }
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return true;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::Load(const std::string& certFile,
                                             const std::string& keyFile,
                                             const std::string& clientCaFile,
                                             std::string* failure) {
  std::string unused;
  if (failure == nullptr) failure = &unused;
  failure->clear();
  ERR_clear_error();
  Owned<SSL_CTX> context(SSL_CTX_new(TLS_server_method()));
  if (!context) {
    *failure = "TLS: " + tls::TakeOpenSslReason();
    return nullptr;
  }
  if (!SetRules(context.get(), failure) ||
      !SetIdentity(context.get(), certFile, keyFile, failure) ||
      (!clientCaFile.empty() &&
       !RequireClientCertificates(context.get(), clientCaFile, failure))) {
    return nullptr;
  }
  return std::make_shared<TlsContext>(Private{}, context.release(),
                                      !clientCaFile.empty());
}

TlsContext::TlsContext(Private, ssl_ctx_st* context, bool clientCertificates)
    : context_(context), clientCertificates_(clientCertificates) {}

TlsContext::~TlsContext() { SSL_CTX_free(context_); }

}  // namespace qmx
