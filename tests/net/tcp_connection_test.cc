// The TCP connection over real loopback sockets: the test accepts a client on
// a free port, wraps the accepted socket, and plays the client itself.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "net/client_connection.h"
#include "net_test_support.h"

namespace qmx::net_test {
namespace {

bool Ready(int fd, short events, int timeoutMs = 10000) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

ConnectionIo SendNowText(ClientConnection& connection, std::string_view text) {
  return connection.SendNow({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

class TcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const int port = FreeTcpPort();
    ASSERT_NE(port, 0);
    ::sockaddr_in address = Loopback(port);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<::sockaddr*>(&address), sizeof(address)),
              0);
    ASSERT_EQ(::listen(listener_, 1), 0);
    client_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(
        ::connect(client_, reinterpret_cast<::sockaddr*>(&address), sizeof(address)), 0);
    ::sockaddr_in from{};
    ::socklen_t length = sizeof(from);
    const int fd = ::accept(listener_, reinterpret_cast<::sockaddr*>(&from), &length);
    ASSERT_GE(fd, 0);
    peer_.family = 4;
    std::memcpy(peer_.bytes.data(), &from.sin_addr, 4);
    connection_ = MakeTcpConnection(fd, peer_);
  }
  void TearDown() override {
    connection_.reset();
    ::close(client_);
    ::close(listener_);
  }

  // What the connection receives, until `count` bytes or anything but data.
  std::string ReceiveFor(size_t count, ConnectionIo* last = nullptr) {
    std::string got;
    uint8_t buffer[256];
    ConnectionIo io;
    while (got.size() < count && Ready(connection_->WaitHandle(), POLLIN)) {
      io = connection_->Receive(buffer);
      if (io.kind != ConnectionIo::Kind::kDone) break;
      got.append(buffer, buffer + io.count);
    }
    if (last != nullptr) *last = io;
    return got;
  }
  ConnectionIo ReceiveNext() {
    ConnectionIo io;
    (void)ReceiveFor(1, &io);
    return io;
  }
  // What the client reads, until `count` bytes, the end or an error.
  std::string ClientRead(size_t count, ssize_t* last = nullptr) {
    std::string got;
    char buffer[256];
    ssize_t n = -1;
    while (got.size() < count && Ready(client_, POLLIN)) {
      n = ::recv(client_, buffer, std::min(sizeof(buffer), count - got.size()), 0);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
    if (last != nullptr) *last = n;
    return got;
  }

  int listener_ = -1;
  int client_ = -1;
  IpAddress peer_;
  std::unique_ptr<ClientConnection> connection_;
};

TEST_F(TcpConnectionTest, MovesBytesBothWaysWithoutWaiting) {
  ASSERT_NE(::fcntl(connection_->WaitHandle(), F_GETFL) & O_NONBLOCK, 0);
  uint8_t buffer[16];
  EXPECT_EQ(connection_->Receive(buffer).kind, ConnectionIo::Kind::kWouldBlock);
  SendText(client_, "hello");
  EXPECT_EQ(ReceiveFor(5), "hello");
  const ConnectionIo sent = SendNowText(*connection_, "world");
  EXPECT_EQ(sent.kind, ConnectionIo::Kind::kDone);
  EXPECT_EQ(sent.count, 5u);
  EXPECT_EQ(ClientRead(5), "world");
}

TEST_F(TcpConnectionTest, EachSideEndsItsOwnDirectionOnly) {
  // The client ends its input: the data first, then the end, for good.
  SendText(client_, "last");
  ASSERT_EQ(::shutdown(client_, SHUT_WR), 0);
  EXPECT_EQ(ReceiveFor(4), "last");
  EXPECT_EQ(ReceiveNext().kind, ConnectionIo::Kind::kEnded);
  EXPECT_EQ(ReceiveNext().kind, ConnectionIo::Kind::kEnded);
  // The server's direction still works, and ends after what it sent.
  EXPECT_EQ(SendNowText(*connection_, "reply").kind, ConnectionIo::Kind::kDone);
  connection_->HalfClose();
  ssize_t last = -1;
  EXPECT_EQ(ClientRead(6, &last), "reply");
  EXPECT_EQ(last, 0);
  EXPECT_EQ(SendNowText(*connection_, "late").kind, ConnectionIo::Kind::kGone);
}

TEST_F(TcpConnectionTest, InputStillArrivesAfterHalfClose) {
  connection_->HalfClose();
  ssize_t last = -1;
  EXPECT_EQ(ClientRead(1, &last), "");
  EXPECT_EQ(last, 0);
  SendText(client_, "more");
  EXPECT_EQ(ReceiveFor(4), "more");
}

TEST_F(TcpConnectionTest, AbortResetsTheClientWhileTheConnectionStillExists) {
  SendText(client_, "never read");
  ASSERT_EQ(SendNowText(*connection_, "dropped").kind, ConnectionIo::Kind::kDone);
  connection_->Abort();
  // The client may read what had arrived; then it sees the reset.
  int error = 0;
  char buffer[64];
  for (int reads = 0; reads < 4 && error == 0 && Ready(client_, POLLIN); ++reads) {
    if (::recv(client_, buffer, sizeof(buffer), 0) < 0) error = errno;
  }
  EXPECT_EQ(error, ECONNRESET);
  // The owner wakes and finds the connection gone both ways.
  EXPECT_TRUE(Ready(connection_->WaitHandle(), POLLIN, 0));
  uint8_t into[16];
  EXPECT_EQ(connection_->Receive(into).kind, ConnectionIo::Kind::kGone);
  EXPECT_EQ(SendNowText(*connection_, "late").kind, ConnectionIo::Kind::kGone);
}

TEST_F(TcpConnectionTest, AClientResetIsGone) {
  const ::linger reset{1, 0};
  ASSERT_EQ(::setsockopt(client_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)), 0);
  ::close(client_);
  client_ = ::socket(AF_INET, SOCK_STREAM, 0);  // for TearDown
  const ConnectionIo io = ReceiveNext();
  EXPECT_EQ(io.kind, ConnectionIo::Kind::kGone);
  EXPECT_EQ(io.error, ECONNRESET);
}

TEST_F(TcpConnectionTest, SendNowIntoAClientThatDoesNotReadStopsAndResumes) {
  const std::string chunk(64 * 1024, 'q');
  ConnectionIo io;
  for (int round = 0; round < 2048; ++round) {  // far beyond any socket buffers
    io = SendNowText(*connection_, chunk);
    if (io.kind != ConnectionIo::Kind::kDone) break;
  }
  ASSERT_EQ(io.kind, ConnectionIo::Kind::kWouldBlock);
  EXPECT_TRUE(connection_->Wanted(false, true).writable);
  // Once the client reads, the owner's wait for room ends and sending resumes.
  char buffer[64 * 1024];
  bool writable = false;
  for (int round = 0; round < 5000 && !writable; ++round) {
    while (::recv(client_, buffer, sizeof(buffer), MSG_DONTWAIT) > 0) {
    }
    writable = Ready(connection_->WaitHandle(), POLLOUT, 2);
  }
  ASSERT_TRUE(writable);
  EXPECT_EQ(SendNowText(*connection_, chunk).kind, ConnectionIo::Kind::kDone);
}

TEST_F(TcpConnectionTest, NamesTheClientByItsIpv4Address) {
  EXPECT_EQ(connection_->Name(), "127.0.0.1");
  EXPECT_EQ(connection_->Peer(), peer_);
  // A dual-stack listener reports an IPv4 client in its mapped form.
  IpAddress mapped;
  ASSERT_TRUE(ParseIpAddress("::ffff:192.0.2.9", &mapped));
  auto other = MakeTcpConnection(::socket(AF_INET6, SOCK_STREAM, 0), mapped);
  EXPECT_EQ(other->Name(), "192.0.2.9");
}

}  // namespace
}  // namespace qmx::net_test
