// The stream check the fault and load tests rely on: it must notice a byte
// that is lost, changed or made up on the way, not only a stream that stops.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "stress_support.h"

namespace qmx::test {
namespace {

// A one-client echo server on 127.0.0.1 that sends back, for each byte it
// receives, what `alter` makes of it (the byte itself, another, none, more).
class FaultyEcho {
 public:
  explicit FaultyEcho(std::function<std::string(uint64_t offset, char byte)> alter)
      : alter_(std::move(alter)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FaultyEcho() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }

 private:
  void Serve() {
    const int client = ::accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    char buffer[8192];
    uint64_t offset = 0;
    for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) > 0;) {
      std::string out;
      for (ssize_t i = 0; i < n; ++i) out += alter_(offset++, buffer[i]);
      ::send(client, out.data(), out.size(), MSG_NOSIGNAL);
    }
    ::close(client);
  }

  std::function<std::string(uint64_t, char)> alter_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

load::StreamOutcome StreamThrough(FaultyEcho& echo) {
  load::LineSocket socket(echo.port(), 10s);
  load::StreamOptions options;
  options.bytes = 200000;
  options.idleLimit = 1s;
  return load::RunEchoStream(socket, options);
}

TEST(EchoStream, WholeOnlyWhenEveryByteCameBackInOrder) {
  FaultyEcho faithful([](uint64_t, char byte) { return std::string(1, byte); });
  EXPECT_TRUE(StreamThrough(faithful).whole());

  FaultyEcho changes([](uint64_t offset, char byte) {
    return std::string(1, offset == 150000 ? static_cast<char>(byte ^ 0x20) : byte);
  });
  const load::StreamOutcome changed = StreamThrough(changes);
  EXPECT_FALSE(changed.whole());
  EXPECT_EQ(changed.intact, 150000u) << changed.Describe();

  FaultyEcho drops([](uint64_t offset, char byte) {
    return offset == 70000 ? std::string() : std::string(1, byte);
  });
  const load::StreamOutcome dropped = StreamThrough(drops);
  EXPECT_FALSE(dropped.whole());
  EXPECT_EQ(dropped.intact, 70000u) << dropped.Describe();

  // The last byte lost: nothing differs, the stream just never completes.
  FaultyEcho losesLast([](uint64_t offset, char byte) {
    return offset == 199999 ? std::string() : std::string(1, byte);
  });
  const load::StreamOutcome unfinished = StreamThrough(losesLast);
  EXPECT_FALSE(unfinished.whole());
  EXPECT_NE(unfinished.failure.find("nothing moved"), std::string::npos)
      << unfinished.Describe();

  // A byte made up on the way.
  FaultyEcho addsOne([](uint64_t offset, char byte) {
    return offset == 100000 ? std::string(1, byte) + "+" : std::string(1, byte);
  });
  const load::StreamOutcome extra = StreamThrough(addsOne);
  EXPECT_FALSE(extra.whole()) << extra.Describe();
}

}  // namespace
}  // namespace qmx::test
