// The metrics endpoint over real loopback sockets: its responses, its
// limits (head size, timeouts, connection cap), refused peers, and Stop.
#include "metrics/metrics_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/mutex.h"
#include "testsupport/free_port.h"
#include "testsupport/tcp_client.h"
#include "testsupport/wait_for.h"

namespace qmx {
namespace {

using std::chrono::milliseconds;
using testsupport::TcpClient;

constexpr char kPage[] = "qmx_start_time_seconds 1\n";

IpAddress Address(const char* text) {
  IpAddress address;
  EXPECT_TRUE(ParseIpAddress(text, &address)) << text;
  return address;
}

size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                    std::filesystem::directory_iterator()));
}

// Everything the server sends until it closes; *reset tells whether it
// ended with a reset rather than an orderly close.
std::string All(TcpClient& client, bool* reset = nullptr) {
  std::string got;
  char buffer[65536];
  if (reset != nullptr) *reset = false;
  for (;;) {
    pollfd p{client.fd(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) break;
    const ssize_t n = ::recv(client.fd(), buffer, sizeof(buffer), 0);
    if (n <= 0) {
      if (reset != nullptr) *reset = n < 0 && errno == ECONNRESET;
      break;
    }
    got.append(buffer, static_cast<size_t>(n));
  }
  return got;
}

class MetricsServerTest : public ::testing::Test {
 protected:
  // Starts a server with these timeouts on a free port of 127.0.0.1.
  void Start(MetricsTimeouts timeouts = {}, MetricsServer::AdmitFunction admit = nullptr,
             MetricsServer::RefusedFunction refused = nullptr) {
    server_ = std::make_unique<MetricsServer>(
        std::move(admit),
        [this] {
          ++renders_;
          return page_;
        },
        std::move(refused), timeouts);
    port_ = testsupport::FreeTcpPort();
    ASSERT_NE(port_, 0);
    std::string failure;
    ASSERT_TRUE(
        server_->Start(Address("127.0.0.1"), static_cast<uint16_t>(port_), &failure))
        << failure;
    EXPECT_EQ(server_->Port(), port_);
  }
  std::string Fetch(const std::string& request, bool* reset = nullptr) {
    TcpClient client(port_);
    EXPECT_TRUE(client.Send(request));
    return All(client, reset);
  }

  std::string page_ = kPage;
  std::atomic<int> renders_{0};
  std::unique_ptr<MetricsServer> server_;
  int port_ = 0;
};

TEST_F(MetricsServerTest, GetMetricsServesTheRenderedPageAndCloses) {
  Start();
  const std::string expected =
      "HTTP/1.1 200 OK\r\n"
      "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
      "Content-Length: " +
      std::to_string(sizeof(kPage) - 1) +
      "\r\n"
      "Connection: close\r\n\r\n" +
      kPage;
  EXPECT_EQ(Fetch("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"), expected);
  EXPECT_EQ(Fetch("GET /metrics?x=1 HTTP/1.0\n\n"), expected);
  EXPECT_EQ(renders_, 2);
}

TEST_F(MetricsServerTest, OtherRequestsGetTheirErrors) {
  Start();
  EXPECT_EQ(Fetch("POST /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 405 ", 0), 0u);
  const std::string head = Fetch("HEAD /metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 405 ", 0), 0u);
  EXPECT_NE(head.find("\r\nAllow: GET\r\n"), std::string::npos);
  EXPECT_EQ(Fetch("GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404 ", 0), 0u);
  EXPECT_EQ(Fetch("GET /metrics HTTP/2.0\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
  EXPECT_EQ(Fetch("hello there\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
  // A client that sent more than the server read is answered and then
  // closed in order: a reset could destroy the answer before it is read.
  const std::string huge = "GET /metrics HTTP/1.1\r\nX: " + std::string(64 * 1024, 'a');
  bool reset = true;
  const std::string tooLarge = Fetch(huge, &reset);
  EXPECT_EQ(tooLarge.rfind("HTTP/1.1 431 ", 0), 0u) << tooLarge.substr(0, 80);
  EXPECT_FALSE(reset);
  EXPECT_EQ(renders_, 0);
}

TEST_F(MetricsServerTest, SilentAndTricklingClientsAreClosedAfterTheReadTimeout) {
  Start({.read = milliseconds(200)});
  TcpClient silent(port_);
  TcpClient trickling(port_);
  ASSERT_TRUE(trickling.Send("GET /metr"));
  EXPECT_EQ(All(silent), "");
  EXPECT_EQ(All(trickling), "");
  EXPECT_TRUE(testsupport::WaitFor([&] { return server_->Connections() == 0; }));
}

TEST_F(MetricsServerTest, AClientThatDoesNotReadIsClosedAfterTheWriteTimeout) {
  page_ = std::string(16 << 20, 'x');
  Start({.write = milliseconds(200)});
  TcpClient client(port_);
  const int small = 4096;
  ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return renders_ == 1; }));
  ASSERT_TRUE(testsupport::WaitFor([&] { return server_->Connections() == 0; }));
  // The server resets the connection: what the kernel still held for it is
  // dropped, never the whole page delivered.
  EXPECT_LT(All(client).size(), page_.size());
  EXPECT_TRUE(client.WaitClosed(milliseconds(10)));
}

TEST_F(MetricsServerTest, BeyondTheCapClientsWaitUntilAPlaceFrees) {
  Start({.read = milliseconds(60000)});
  std::vector<std::unique_ptr<TcpClient>> silent;
  for (size_t i = 0; i < MetricsServer::kMaxConnections; ++i) {
    silent.push_back(std::make_unique<TcpClient>(port_));
  }
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return server_->Connections() == MetricsServer::kMaxConnections; }));
  TcpClient waiting(port_);
  ASSERT_TRUE(waiting.Send("GET /metrics HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(waiting.ReadCount(1, milliseconds(300)), "");
  EXPECT_EQ(renders_, 0);
  silent.clear();
  EXPECT_EQ(All(waiting).rfind("HTTP/1.1 200 ", 0), 0u);
  EXPECT_EQ(Fetch("GET /metrics HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 ", 0), 0u);
}

TEST_F(MetricsServerTest, ARefusedPeerGetsNoByteAndIsReported) {
  Mutex mutex;
  std::vector<std::string> asked;
  std::vector<std::string> refused;
  Start(
      {},
      [&](const IpAddress& peer) {
        MutexLock lock(mutex);
        asked.push_back(FormatIpAddress(peer));
        return false;
      },
      [&](const IpAddress& peer) {
        MutexLock lock(mutex);
        refused.push_back(FormatIpAddress(peer));
      });
  EXPECT_EQ(Fetch("GET /metrics HTTP/1.1\r\n\r\n"), "");
  ASSERT_TRUE(testsupport::WaitFor([&] {
    MutexLock lock(mutex);
    return !refused.empty();
  }));
  MutexLock lock(mutex);
  EXPECT_EQ(asked, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(refused, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(renders_, 0);
}

TEST_F(MetricsServerTest, StopEndsEveryConnectionAtOnceAndLeavesNoThread) {
  page_ = std::string(16 << 20, 'x');
  Start({.read = milliseconds(60000), .write = milliseconds(60000)});
  // Counted with the server's thread running: a sanitizer's own thread may
  // have started with it.
  const size_t threads = ThreadCount();
  TcpClient silent(port_);
  TcpClient partial(port_);
  TcpClient notReading(port_);
  ASSERT_TRUE(partial.Send("GET /"));
  ASSERT_TRUE(notReading.Send("GET /metrics HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(testsupport::WaitFor([&] { return server_->Connections() == 3; }));
  ASSERT_TRUE(testsupport::WaitFor([&] { return renders_ == 1; }));
  // The clients' limits are a minute: Stop ends them without waiting for
  // those, and its thread with them.
  server_->Stop();
  EXPECT_EQ(ThreadCount(), threads - 1);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(partial.WaitClosed());
  EXPECT_TRUE(notReading.WaitClosed());
  EXPECT_FALSE(testsupport::Listening(port_));
  server_->Stop();  // again: nothing to do
}

TEST_F(MetricsServerTest, StartSaysWhyItCannotListen) {
  Start();
  MetricsServer second(nullptr, [] { return std::string(); });
  std::string failure;
  EXPECT_FALSE(
      second.Start(Address("127.0.0.1"), static_cast<uint16_t>(port_), &failure));
  EXPECT_EQ(failure, "cannot listen on 127.0.0.1:" + std::to_string(port_) +
                         ": Address already in use");
  // Port 0: the kernel's choice is the port to ask.
  ASSERT_TRUE(second.Start(Address("127.0.0.1"), 0, &failure)) << failure;
  EXPECT_NE(second.Port(), 0);
  EXPECT_TRUE(testsupport::Listening(second.Port()));
}

TEST_F(MetricsServerTest, AnIpv6AddressListensForIpv6Alone) {
  MetricsServer server(nullptr, [] { return std::string(kPage); });
  const int port = testsupport::FreeTcpPort();
  std::string failure;
  if (!server.Start(Address("::1"), static_cast<uint16_t>(port), &failure)) {
    GTEST_SKIP() << "no IPv6 loopback here: " << failure;
  }
  TcpClient client("::1", port);
  ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(All(client).rfind("HTTP/1.1 200 ", 0), 0u);
  EXPECT_FALSE(testsupport::Listening(port));
}

}  // namespace
}  // namespace qmx
