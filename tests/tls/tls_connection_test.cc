// The TLS connection over real loopback sockets: the test accepts a client
// on a free port, wraps the accepted socket, and drives it from a server
// thread as a line's owner does (poll on WaitHandle for what Wanted names),
// while an in-process OpenSSL client plays the far end with blocking calls,
// each bounded by socket timeouts.
#include "tls/tls_connection.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "testsupport/free_port.h"
#include "tls/tls_context.h"
#include "tls_test_certificates.h"

namespace qmx::tls_test {
namespace {

using Kind = ConnectionIo::Kind;
constexpr int kBoundMs = 10000;
constexpr int kSmallBuffer = 64 * 1024;

// A test stream: each byte a hash of its position, so that a lost, doubled
// or misplaced chunk of any size shows.
std::string Stream(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    uint32_t x = static_cast<uint32_t>(i) * 0x9e3779b1u + seed * 0x85ebca6bu;
    x ^= x >> 16;
    x *= 0xc2b2ae35u;
    bytes[i] = static_cast<char>((x ^ (x >> 13)) >> 24);
  }
  return bytes;
}

::sockaddr_in Loopback(int port) {
  ::sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Without them the kernel would take megabytes into a socket that nobody reads.
void SetSmallBuffers(int fd) {
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSmallBuffer, sizeof(kSmallBuffer));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSmallBuffer, sizeof(kSmallBuffer));
}

ConnectionIo SendText(ClientConnection& connection, std::string_view text) {
  return connection.SendNow({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

// One wait for what the connection's Wanted names; false when the bound passed.
bool WaitReady(const ClientConnection& connection, bool wantInput, bool haveOutput) {
  const WantedEvents wanted = connection.Wanted(wantInput, haveOutput);
  ::pollfd ready{connection.WaitHandle(),
                 static_cast<short>((wanted.readable ? POLLIN : 0) |
                                    (wanted.writable ? POLLOUT : 0)),
                 0};
  return ::poll(&ready, 1, kBoundMs) == 1;
}

// Calls `call` until it gives anything but kWouldBlock, waiting in between.
ConnectionIo Drive(const ClientConnection& connection, bool wantInput, bool haveOutput,
                   const std::function<ConnectionIo()>& call) {
  for (;;) {
    const ConnectionIo io = call();
    if (io.kind != Kind::kWouldBlock) return io;
    if (!WaitReady(connection, wantInput, haveOutput)) return {Kind::kGone, 0, ETIMEDOUT};
  }
}

// A blocking OpenSSL client of 127.0.0.1 that trusts the test authority,
// offering only `version` (0: any) and showing the certificate `name` ("":
// none).
struct Client {
  Client(int port, const std::string& name, int version) {
    std::signal(SIGPIPE, SIG_IGN);  // a write after the server's reset fails
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SetSmallBuffers(fd);
    const ::timeval bound{kBoundMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound));
    const ::sockaddr_in address = Loopback(port);
    ::connect(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address));
    context = SSL_CTX_new(TLS_client_method());
    if (version != 0) {
      SSL_CTX_set_min_proto_version(context, version);
      SSL_CTX_set_max_proto_version(context, version);
      SSL_CTX_set_security_level(context, 0);  // an old protocol's ciphers
      SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
    }
    if (!name.empty()) {
      SSL_CTX_use_certificate_file(context, Certificate(name + ".crt").c_str(),
                                   SSL_FILETYPE_PEM);
      SSL_CTX_use_PrivateKey_file(context, Certificate(name + ".key").c_str(),
                                  SSL_FILETYPE_PEM);
    }
    SSL_CTX_load_verify_locations(context, Certificate("ca.crt").c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
  }
  ~Client() {
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
  }
  bool Write(std::string_view bytes) {
    size_t n = 0;
    return SSL_write_ex(ssl, bytes.data(), bytes.size(), &n) == 1 && n == bytes.size();
  }
  // `count` bytes, or fewer when the session ends or fails first.
  std::string Read(size_t count) {
    std::string got(count, '\0');
    size_t total = 0;
    for (size_t n = 0; total < count; total += n) {
      if (SSL_read_ex(ssl, got.data() + total, count - total, &n) != 1) break;
    }
    got.resize(total);
    return got;
  }
  // How the next read that gets nothing fails (SSL_get_error).
  int ReadEnd() {
    char byte;
    size_t n = 0;
    const int result = SSL_read_ex(ssl, &byte, 1, &n);
    return result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
  }

  int fd = -1;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
};

class TlsConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Certificate("ca.crt"), "");
    port_ = testsupport::FreeTcpPort();
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SetSmallBuffers(listener_);  // the accepted sockets' too
    const ::sockaddr_in address = Loopback(port_);
    ASSERT_EQ(
        ::bind(listener_, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address)),
        0);
    ASSERT_EQ(::listen(listener_, 4), 0);
  }
  void TearDown() override {
    connection_.reset();
    ::close(listener_);
  }

  // A client, and the server's end of it in connection_.
  std::unique_ptr<Client> Connect(const std::string& certificate = "",
                                  bool clientAuthority = false, int version = 0) {
    auto client = std::make_unique<Client>(port_, certificate, version);
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(fd, 0);
    IpAddress peer;
    EXPECT_TRUE(ParseIpAddress("127.0.0.1", &peer));
    std::string failure;
    auto context =
        TlsContext::Load(Certificate("server.crt"), Certificate("server.key"),
                         clientAuthority ? Certificate("ca.crt") : "", &failure);
    EXPECT_NE(context, nullptr) << failure;
    connection_ = MakeTlsConnection(fd, peer, context);
    return client;
  }
  TlsConnection& tls() { return dynamic_cast<TlsConnection&>(*connection_); }

  // The server's handshake on a thread of its own while the client makes its
  // own: the server's outcome, and whether the client's completed.
  ConnectionIo HandshakeBoth(Client& client, bool* clientDone = nullptr) {
    ConnectionIo server;
    {
      std::jthread thread([&] {
        server = Drive(*connection_, true, false, [&] { return tls().Handshake(); });
      });
      const bool done = SSL_connect(client.ssl) == 1;
      if (clientDone != nullptr) *clientDone = done;
    }
    return server;
  }

  int port_ = 0;
  int listener_ = -1;
  std::unique_ptr<ClientConnection> connection_;
};

// Both streams at once and larger than the sockets hold (the client reads
// only once it has written everything), so the server's sends stop short and
// are retried from a backlog that has moved, as the server's backlogs do.
TEST_F(TlsConnectionTest, CarriesMegabytesBothWaysAndEndsEachDirectionOnItsOwn) {
  constexpr size_t kBytes = 3 << 20;
  auto client = Connect();
  ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
  EXPECT_EQ(tls().Protocol(), "TLSv1.3");
  EXPECT_EQ(tls().PeerCommonName(), "");
  EXPECT_EQ(connection_->Name(), "127.0.0.1");

  std::jthread server([&] {
    std::string backlog = Stream(kBytes, 2);
    // The client reads nothing while it writes, so the socket fills: a send
    // stops short, and then one takes nothing.
    ConnectionIo io = SendText(*connection_, backlog);
    ASSERT_EQ(io.kind, Kind::kDone);
    EXPECT_LT(io.count, backlog.size());
    do {
      backlog.erase(0, io.count);
      io = SendText(*connection_, backlog);
    } while (io.kind == Kind::kDone && !backlog.empty());
    ASSERT_EQ(io.kind, Kind::kWouldBlock);
    // Then both ways, the output retried from a backlog that moves whenever
    // a send took nothing.
    std::string received;
    uint8_t buffer[65536];
    while (received.size() < kBytes || !backlog.empty()) {
      if (io.kind == Kind::kWouldBlock) {
        std::string moved = backlog;
        backlog.swap(moved);
      }
      ASSERT_TRUE(WaitReady(*connection_, received.size() < kBytes, !backlog.empty()));
      if (received.size() < kBytes) {
        const ConnectionIo in = connection_->Receive(buffer);
        ASSERT_TRUE(in.kind == Kind::kDone || in.kind == Kind::kWouldBlock);
        received.append(buffer, buffer + in.count);
      }
      if (backlog.empty()) continue;
      io = SendText(*connection_, backlog);
      ASSERT_TRUE(io.kind == Kind::kDone || io.kind == Kind::kWouldBlock);
      if (io.kind == Kind::kDone) backlog.erase(0, io.count);
    }
    EXPECT_TRUE(received == Stream(kBytes, 1));
    // The client's close_notify ends its input; the server still sends.
    EXPECT_EQ(
        Drive(*connection_, true, false, [&] { return connection_->Receive(buffer); })
            .kind,
        Kind::kEnded);
    EXPECT_EQ(connection_->InputEndNote(), "");
    EXPECT_EQ(SendText(*connection_, "after your end").kind, Kind::kDone);
    connection_->HalfClose();
    EXPECT_EQ(SendText(*connection_, "late").kind, Kind::kGone);
  });

  ASSERT_TRUE(client->Write(Stream(kBytes, 1)));
  EXPECT_TRUE(client->Read(kBytes) == Stream(kBytes, 2));
  ASSERT_GE(SSL_shutdown(client->ssl), 0);
  EXPECT_EQ(client->Read(14), "after your end");
  EXPECT_EQ(client->ReadEnd(), SSL_ERROR_ZERO_RETURN);
  char byte;
  EXPECT_EQ(::recv(client->fd, &byte, 1, 0), 0);
}

TEST_F(TlsConnectionTest, InputStillArrivesAfterTheServerEndedItsSide) {
  auto client = Connect();
  ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
  connection_->HalfClose();
  EXPECT_EQ(client->ReadEnd(), SSL_ERROR_ZERO_RETURN);
  ASSERT_TRUE(client->Write("more"));
  uint8_t buffer[16];
  const ConnectionIo io =
      Drive(*connection_, true, false, [&] { return connection_->Receive(buffer); });
  ASSERT_EQ(io.kind, Kind::kDone);
  EXPECT_EQ(std::string(buffer, buffer + io.count), "more");
}

// A client that shuts its TCP output without a close_notify (as a client
// that is killed, or closes its socket under the session, does) has still
// delivered what it sent: its input ends as with a FIN on a plain line,
// noted as such, and the server's answer still reaches it.
TEST_F(TlsConnectionTest, ATcpEndWithoutCloseNotifyEndsOnlyTheInput) {
  auto client = Connect();
  ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
  const std::string sent = Stream(100000, 4);
  ASSERT_TRUE(client->Write(sent));
  ::shutdown(client->fd, SHUT_WR);
  std::string got;
  uint8_t buffer[16384];
  ConnectionIo io;
  do {
    io = Drive(*connection_, true, false, [&] { return connection_->Receive(buffer); });
    if (io.kind == Kind::kDone) got.append(buffer, buffer + io.count);
  } while (io.kind == Kind::kDone);
  EXPECT_EQ(io.kind, Kind::kEnded) << tls().Failure();
  EXPECT_TRUE(got == sent) << got.size();
  EXPECT_EQ(connection_->InputEndNote(), "ended without a close_notify");
  EXPECT_EQ(connection_->Receive(buffer).kind, Kind::kEnded);
  EXPECT_EQ(SendText(*connection_, "answer").kind, Kind::kDone);
  connection_->HalfClose();
  EXPECT_EQ(client->Read(6), "answer");
  EXPECT_EQ(client->ReadEnd(), SSL_ERROR_ZERO_RETURN);
}

// A record the owner has no room for stays in the session, decrypted, where
// polling the socket cannot see it: Wanted must still end the owner's wait.
TEST_F(TlsConnectionTest, InputTheOwnerHadNoRoomForEndsItsWait) {
  auto client = Connect();
  ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
  const std::string record = Stream(4000, 3);
  ASSERT_TRUE(client->Write(record));
  std::string got;
  uint8_t small[100];
  while (got.size() < record.size()) {
    ASSERT_TRUE(WaitReady(*connection_, true, false)) << got.size();
    const ConnectionIo io = connection_->Receive(small);
    ASSERT_NE(io.kind, Kind::kGone);
    got.append(small, small + io.count);
  }
  EXPECT_TRUE(got == record);
}

TEST_F(TlsConnectionTest, AClientThatDoesNotSpeakTlsFailsTheHandshake) {
  {
    auto client = Connect();
    const std::string text = "hello, plain text\r\n";
    ASSERT_EQ(::send(client->fd, text.data(), text.size(), 0), ssize_t(text.size()));
    EXPECT_EQ(Drive(*connection_, true, false, [&] { return tls().Handshake(); }).kind,
              Kind::kGone);
    EXPECT_NE(tls().Failure(), "");
    // A failed connection stays failed.
    EXPECT_EQ(tls().Handshake().kind, Kind::kGone);
    uint8_t buffer[16];
    EXPECT_EQ(connection_->Receive(buffer).kind, Kind::kGone);
  }
  auto client = Connect();
  ::shutdown(client->fd, SHUT_WR);
  EXPECT_EQ(Drive(*connection_, true, false, [&] { return tls().Handshake(); }).kind,
            Kind::kGone);
  EXPECT_EQ(tls().Failure(), "the connection ended in the handshake");
}

TEST_F(TlsConnectionTest, WithAClientAuthorityOnlyItsCertificatesAreLetIn) {
  {
    auto client = Connect("client", true);
    bool clientDone = false;
    ASSERT_EQ(HandshakeBoth(*client, &clientDone).kind, Kind::kDone) << tls().Failure();
    EXPECT_TRUE(clientDone);
    EXPECT_EQ(tls().PeerCommonName(), "bench-7");
    EXPECT_EQ(connection_->Name(), "bench-7");
    // The client was told which authority to choose its certificate by.
    const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(client->ssl);
    ASSERT_EQ(sk_X509_NAME_num(names), 1);
    char name[64];
    X509_NAME_oneline(sk_X509_NAME_value(names, 0), name, sizeof(name));
    EXPECT_STREQ(name, "/CN=qmx test CA");
  }
  const struct {
    std::string certificate, failure;
  } refused[] = {
      {"", "peer did not return a certificate"},
      {"stranger", "certificate verify failed: "},  // and the verification's reason
  };
  for (const auto& c : refused) {
    auto client = Connect(c.certificate, true);
    EXPECT_EQ(HandshakeBoth(*client).kind, Kind::kGone);
    EXPECT_TRUE(tls().Failure().starts_with(c.failure)) << tls().Failure();
    EXPECT_EQ(tls().PeerCommonName(), "");
    EXPECT_EQ(connection_->Name(), "127.0.0.1");
  }
}

TEST_F(TlsConnectionTest, TakesTls12AndRefusesRenegotiationAndOlderProtocols) {
  {
    auto client = Connect("", false, TLS1_2_VERSION);
    ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
    EXPECT_EQ(tls().Protocol(), "TLSv1.2");
    ConnectionIo io;
    {
      std::jthread server([&] {
        uint8_t buffer[16];
        io = Drive(*connection_, true, false,
                   [&] { return connection_->Receive(buffer); });
      });
      ASSERT_EQ(SSL_renegotiate(client->ssl), 1);
      EXPECT_NE(SSL_do_handshake(client->ssl), 1);
    }
    EXPECT_EQ(io.kind, Kind::kGone);
  }
  auto client = Connect("", false, TLS1_1_VERSION);
  bool clientDone = true;
  EXPECT_EQ(HandshakeBoth(*client, &clientDone).kind, Kind::kGone);
  EXPECT_FALSE(clientDone);
  EXPECT_EQ(tls().Failure(), "unsupported protocol");
}

TEST_F(TlsConnectionTest, AResetEndsTheSessionBothWays) {
  uint8_t buffer[16];
  {
    // The client resets: the server's next receive is gone, with the errno.
    auto client = Connect();
    ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
    const ::linger reset{1, 0};
    ::setsockopt(client->fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    client.reset();
    const ConnectionIo io =
        Drive(*connection_, true, false, [&] { return connection_->Receive(buffer); });
    EXPECT_EQ(io.kind, Kind::kGone);
    EXPECT_EQ(io.error, ECONNRESET);
  }
  // The server aborts: the client sees the reset, the server's calls fail.
  auto client = Connect();
  ASSERT_EQ(HandshakeBoth(*client).kind, Kind::kDone) << tls().Failure();
  connection_->Abort();
  char byte;
  EXPECT_EQ(::recv(client->fd, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(connection_->Receive(buffer).kind, Kind::kGone);
  EXPECT_EQ(SendText(*connection_, "late").kind, Kind::kGone);
}

}  // namespace
}  // namespace qmx::tls_test
