// The benchmark's TLS client against an OpenSSL echo server in this process,
// over a socket pair, with the run's kind of throw-away certificate: bytes
// go through the session intact, a changed one is still caught, and round
// trips run through it and report a server that ended the session.
#include "tls_client.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "round_trip.h"
#include "transfer.h"

namespace qmx::bench {
namespace {

// One TLS session served on its own thread: every byte that comes is sent
// back, the one at `changeAt` changed, and the session is ended (with a
// close_notify) once `endAfter` bytes went back.
class EchoServer {
 public:
  explicit EchoServer(uint64_t changeAt = UINT64_MAX, uint64_t endAfter = UINT64_MAX)
      : changeAt_(changeAt), endAfter_(endAfter) {
    std::signal(SIGPIPE, SIG_IGN);  // a write to a client that went fails instead
    char pattern[] = "/tmp/qmx-bench-tls-test-XXXXXX";
    EXPECT_NE(::mkdtemp(pattern), nullptr);
    directory_ = pattern;
    std::string error;
    EXPECT_TRUE(WriteSelfSignedIdentity(directory_ + "/cert.pem", directory_ + "/key.pem",
                                        &error))
        << error;
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    serverFd_ = fds[0];
    clientFd_ = fds[1];
    // Less room than a record: the client's records go out in parts.
    const int room = 8192;
    for (int fd : fds) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    thread_ = std::thread([this] { Run(); });
  }
  ~EchoServer() {
    ::shutdown(serverFd_, SHUT_RDWR);  // ends a read or write still waiting
    thread_.join();
    ::close(serverFd_);
    std::filesystem::remove_all(directory_);
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  // The client's end of the socket pair, for TlsClient::Connect to own.
  int clientFd() const { return clientFd_; }

 private:
  void Run() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const bool loaded =
        SSL_CTX_use_certificate_file(context, (directory_ + "/cert.pem").c_str(),
                                     SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, (directory_ + "/key.pem").c_str(),
                                    SSL_FILETYPE_PEM) == 1;
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, serverFd_);
    if (loaded && SSL_accept(ssl) == 1) Echo(ssl);
    SSL_free(ssl);
    SSL_CTX_free(context);
  }

  void Echo(SSL* ssl) {
    std::vector<uint8_t> buffer(65536);
    uint64_t echoed = 0;
    size_t got = 0;
    while (echoed < endAfter_ &&
           SSL_read_ex(ssl, buffer.data(), buffer.size(), &got) == 1) {
      if (changeAt_ >= echoed && changeAt_ < echoed + got)
        buffer[changeAt_ - echoed] ^= 1;
      size_t put = 0;
      if (SSL_write_ex(ssl, buffer.data(), got, &put) != 1) return;
      echoed += got;
    }
    if (echoed >= endAfter_) SSL_shutdown(ssl);
  }

  const uint64_t changeAt_;
  const uint64_t endAfter_;
  std::string directory_;
  int serverFd_ = -1;
  int clientFd_ = -1;
  std::thread thread_;
};

std::unique_ptr<TlsClient> ConnectTo(const EchoServer& server) {
  std::string error;
  std::unique_ptr<TlsClient> client = TlsClient::Connect(server.clientFd(), 5, &error);
  EXPECT_TRUE(client) << error;
  return client;
}

// Through the echo and back: far more than the socket pair holds, so that
// records are left half out and finished later.
TransferOutcome EchoThrough(TlsClient& client, uint64_t bytes) {
  TransferLimits limits;
  limits.stallSeconds = 2;
  limits.writeAtLeast = 65536;
  return RunTransfer({{"tls echo", -1, -1, bytes, &client, &client}}, limits);
}

constexpr uint64_t kBytes = 3000000;
constexpr uint64_t kChangeAt = 2000003;

TEST(TlsClient, CarriesEveryByteThroughTheSession) {
  EchoServer server;
  const std::unique_ptr<TlsClient> client = ConnectTo(server);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->Protocol(), "TLSv1.3");
  const TransferOutcome outcome = EchoThrough(*client, kBytes);
  EXPECT_EQ(outcome.fault, "");
  EXPECT_EQ(outcome.received, kBytes);
  EXPECT_EQ(client->Unfinished(), 0u);
  EXPECT_EQ(ExpectQuiet({}, {client.get()}, 0.05), "");
}

TEST(TlsClient, RunCutShortLeavesNoRecordBehindForTheNext) {
  EchoServer server;
  const std::unique_ptr<TlsClient> client = ConnectTo(server);
  ASSERT_TRUE(client);
  // The send window closes while the socket is full, most often with a record
  // half out: that record still goes, within the run, and the next run starts
  // clean.
  for (int run = 0; run < 5; ++run) {
    TransferLimits cut;
    cut.stallSeconds = 2;
    cut.sendWindowSeconds = 0.02;
    cut.writeAtLeast = 65536;
    const TransferOutcome outcome = RunTransfer(
        {{"tls echo, cut", -1, -1, 1u << 30, client.get(), client.get()}}, cut);
    EXPECT_TRUE(outcome.cutShort);
    EXPECT_EQ(outcome.fault, "");
    EXPECT_EQ(client->Unfinished(), 0u);
    EXPECT_EQ(EchoThrough(*client, 200000).fault, "") << "after cut run " << run;
  }
}

TEST(TlsClient, ChangedByteInTheSessionIsReported) {
  EchoServer server(kChangeAt);
  const std::unique_ptr<TlsClient> client = ConnectTo(server);
  ASSERT_TRUE(client);
  const TransferOutcome outcome = EchoThrough(*client, kBytes);
  EXPECT_NE(outcome.fault, "") << "a changed byte went unnoticed";
  ASSERT_EQ(outcome.streams.size(), 1u);
  EXPECT_EQ(outcome.streams[0].differing, 1u);
  EXPECT_EQ(outcome.streams[0].firstDiffering, kChangeAt);
}

TEST(TlsClient, RoundTripsThroughTheSessionAndReportsItsEnd) {
  constexpr int kTrips = 20;
  EchoServer server(UINT64_MAX, kTrips * 64);
  const std::unique_ptr<TlsClient> client = ConnectTo(server);
  ASSERT_TRUE(client);
  RoundTripper trips(client.get(), 64);
  trips.Run(kTrips);
  EXPECT_EQ(trips.fault(), "");
  EXPECT_EQ(trips.microseconds().size(), static_cast<size_t>(kTrips));
  trips.Run(1);  // the server has ended the session by now
  EXPECT_NE(trips.fault().find("connection closed by the server"), std::string::npos)
      << trips.fault();
}

}  // namespace
}  // namespace qmx::bench
