// The socket layer over real sockets on 127.0.0.1: state rules, port texts,
// the accept-and-receive thread, sending, dropping clients and TcpDisconnect.
#include "net/socket_layer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "engine/line_table.h"
#include "net/net_test_support.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

using namespace std::chrono_literals;
using namespace net_test;

int Connect(int port, int recvBuffer = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (recvBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof(recvBuffer));
  timeval limit{10, 0};  // a stuck server fails the test instead of hanging it
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  ::sockaddr_in address = Loopback(port);
  if (::connect(fd, reinterpret_cast<::sockaddr*>(&address), sizeof(address)) == 0)
    return fd;
  ::close(fd);
  return -1;
}

Bytes Drain(ByteQueue& queue) {
  Bytes out(static_cast<size_t>(queue.Count()));
  out.resize(queue.GetSome(out));
  return out;
}

class SocketLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTraceSink([this](std::string_view message) { trace.Add(message); });
    OpenLineQueues();
    ASSERT_EQ(Sockets().TcpStartup(&error), 1);
  }
  void TearDown() override {
    Sockets().TcpCleanup(&error);  // disconnects whatever a failed test left open
    SetTraceSink({});
    CloseLineQueues();
  }
  // 0 when an operation succeeded, else the error it reported.
  int Code(int result) const { return result == 1 ? 0 : error; }
  // Makes `line` listen on `port` (a fresh free port when 0); returns the port.
  int Listen(int line, int port = 0) {
    port = port ? port : FreeTcpPort();
    CopyField(Sockets().tcpLines[line].port, std::to_string(port));
    EXPECT_EQ(Code(Sockets().TcpSocket(line, &error)), 0);
    EXPECT_EQ(Code(Sockets().TcpListen(line, &error)), 0);
    return port;
  }
  // TcpDisconnect with a bound: if it is still blocked after 10 s, the
  // line's thread is released by hand (so the test ends) and it fails.
  void DisconnectWithin(int line) {
    auto done = std::async(std::launch::async,
                           [&] { return Sockets().TcpDisconnect(line, &error); });
    if (done.wait_for(10s) != std::future_status::ready) {
      ::shutdown(Sockets().tcpLines[line].lineSocket, SHUT_RDWR);
      if (Sockets().TcpClientFd(line) >= 0)
        ::shutdown(Sockets().TcpClientFd(line), SHUT_RDWR);
      (line == 0 ? Table().cmdQueue : Table().txQueue[line - 1]).Free();
      ADD_FAILURE() << "TcpDisconnect did not return";
    }
    EXPECT_EQ(done.get(), 1);
    EXPECT_EQ(Sockets().tcpLines[line].state.load(), LineState::kNone);
  }
  TraceLog trace;
  int error = 0;
};

TEST_F(SocketLayerTest, OperationsInTheWrongStateFailWithStatusError) {
  EXPECT_EQ(Code(Sockets().TcpStartup(&error)), TCP_ERROR_STATUS);
  EXPECT_EQ(Code(Sockets().TcpDisconnect(1, &error)), TCP_ERROR_STATUS);
  EXPECT_EQ(trace.Count("DataServer1 TcpDisconnect TCP_ERROR_STATUS"), 1);
  EXPECT_EQ(Code(Sockets().TcpListen(1, &error)), TCP_ERROR_STATUS);
  Listen(1);
  EXPECT_TRUE(Sockets().TcpLineListening(1));
  EXPECT_EQ(Sockets().TcpSendNow(1, "x", 1, &error), -1);  // no client yet
  EXPECT_EQ(error, TCP_ERROR_STATUS);

  // A port another socket listens on: bind fails and the line keeps its
  // socket in state 1, refusing a new one until it is disconnected.
  int busyPort = 0;
  int busy = RawListener(&busyPort);
  CopyField(Sockets().tcpLines[2].port, std::to_string(busyPort));
  ASSERT_EQ(Code(Sockets().TcpSocket(2, &error)), 0);
  EXPECT_EQ(Code(Sockets().TcpListen(2, &error)), EADDRINUSE);
  EXPECT_EQ(trace.Count(Text("DataServer2 Tcpbind NG ", EADDRINUSE)), 1);
  EXPECT_EQ(Sockets().tcpLines[2].state.load(), LineState::kSocket);
  EXPECT_EQ(Code(Sockets().TcpSocket(2, &error)), TCP_ERROR_STATUS);
  EXPECT_EQ(Sockets().TcpDisconnect(2, &error), 1);
  EXPECT_EQ(Code(Sockets().TcpSocket(2, &error)), 0);
  ::close(busy);
}

TEST_F(SocketLayerTest, PortTextIsNumberOrServiceName) {
  CopyField(Sockets().tcpLines[3].port, "unused");
  ASSERT_EQ(Code(Sockets().TcpSocket(3, &error)), 0);
  EXPECT_EQ(Code(Sockets().TcpListen(3, &error)), TCP_ERROR_PORT);
  EXPECT_EQ(trace.Count("TcpListen TCP_ERROR_PORT"), 1);
  EXPECT_EQ(Sockets().tcpLines[3].state.load(), LineState::kSocket);

  // Texts that are not a port 1-65535 fail the listen instead of binding a
  // random port, a wrapped-around one or the leading digits.
  const int before = trace.Count("TcpListen TCP_ERROR_PORT");
  int n = 0;
  for (const char* text : {"0", "65536", "96537", "31205x", "", "-1", " 80"}) {
    ++n;
    CopyField(Sockets().tcpLines[4].port, text);
    ASSERT_EQ(Code(Sockets().TcpSocket(4, &error)), 0);
    EXPECT_EQ(Code(Sockets().TcpListen(4, &error)), TCP_ERROR_PORT) << "'" << text << "'";
    EXPECT_FALSE(Sockets().TcpLineListening(4));
    EXPECT_EQ(Sockets().TcpDisconnect(4, &error), 1);
  }
  EXPECT_EQ(trace.Count("TcpListen TCP_ERROR_PORT"), before + n);

  // A datagram line binds the IPv4 any-address on its port; its port text
  // follows the same rule.
  TcpLine& datagram = Sockets().tcpLines[5];
  datagram.socketType = SocketType::kDatagram;
  CopyField(datagram.port, "x");
  ASSERT_EQ(Code(Sockets().TcpSocket(5, &error)), 0);
  EXPECT_EQ(Code(Sockets().TcpListen(5, &error)), TCP_ERROR_PORT);
  EXPECT_EQ(trace.Count("TcpListen TCP_ERROR_PORT"), before + n + 1);
  EXPECT_EQ(Sockets().TcpDisconnect(5, &error), 1);
  int port = 0;
  ::close(RawDatagramSocket(&port));
  CopyField(datagram.port, "0" + std::to_string(port));
  ASSERT_EQ(Code(Sockets().TcpSocket(5, &error)), 0);
  ASSERT_EQ(Code(Sockets().TcpListen(5, &error)), 0);
  ::sockaddr_in bound{};
  ::socklen_t size = sizeof(bound);
  ASSERT_EQ(
      ::getsockname(datagram.lineSocket, reinterpret_cast<::sockaddr*>(&bound), &size),
      0);
  EXPECT_EQ(bound.sin_port, htons(static_cast<uint16_t>(port)));
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(Sockets().TcpDisconnect(5, &error), 1);
  datagram.socketType = SocketType::kStream;
}

TEST_F(SocketLayerTest, ControlClientIsAnnouncedServedAndDropped) {
  int client = Connect(Listen(0));
  SendText(client, "hi\xFF");
  ASSERT_TRUE(WaitFor([] { return Table().cmdQueue.Count() == 4; }));
  EXPECT_EQ(Drain(Table().cmdQueue), (Bytes{0xFF, 'h', 'i', 0xFF}));

  EXPECT_EQ(Sockets().TcpSendNow(0, "ok", 2, &error), 2);
  EXPECT_EQ(Sockets().TcpSendNow(0, nullptr, 0, &error), 0);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(trace.Count("ControlServer1 Tcpsend send_size=0"), 1);
  char reply[2];
  ASSERT_EQ(::recv(client, reply, 2, MSG_WAITALL), 2);
  EXPECT_EQ(std::string(reply, 2), "ok");

  // The client ends its input: everything it sent is queued, and it keeps
  // the line for the replies still due to it until the relay ends it.
  const uint64_t serial = Sockets().TcpClientSerial(0);
  SendText(client, "status\r");
  ::shutdown(client, SHUT_WR);
  ASSERT_TRUE(trace.WaitFor("ControlServer1 recv Connection broken "));
  ASSERT_TRUE(WaitFor([&] { return Sockets().TcpClientInputEnded(0, serial); }));
  EXPECT_EQ(Drain(Table().cmdQueue), (Bytes{'s', 't', 'a', 't', 'u', 's', '\r'}));
  EXPECT_GE(Sockets().TcpClientFd(0), 0);
  EXPECT_EQ(Sockets().TcpSendNowTo(0, serial, "200", 3, &error), 3);
  EXPECT_EQ(Sockets().TcpSendNowTo(0, serial + 1, "x", 1, &error),
            -1);  // not that client's line
  EXPECT_EQ(error, TCP_ERROR_STATUS);
  Sockets().TcpEndClient(0, serial + 1);  // another client's end: nothing happens
  EXPECT_GE(Sockets().TcpClientFd(0), 0);
  Sockets().TcpEndClient(0, serial);
  ASSERT_EQ(::recv(client, reply, 2, MSG_WAITALL), 2);
  char end = 0;
  EXPECT_EQ(::recv(client, &end, 1, 0), 1);  // the reply's last byte, then the end
  EXPECT_EQ(::recv(client, &end, 1, 0), 0);
  ::close(client);
  // The line stays in state 4 but has nobody to send to.
  ASSERT_TRUE(WaitFor([] { return Sockets().TcpClientFd(0) == -1; }));
  EXPECT_EQ(Sockets().tcpLines[0].state.load(), LineState::kConnected);
  EXPECT_EQ(Sockets().TcpSendNow(0, "ok", 2, &error), -1);
  EXPECT_EQ(error, EBADF);
  EXPECT_EQ(trace.Count(Text("ControlServer1 Tcpsend Error ", EBADF)), 1);
}

TEST_F(SocketLayerTest, LargeTransferArrivesWholeAndInOrder) {
  Bytes sent(1 << 20);
  for (size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<uint8_t>(i * 7 + i / 4999);
  Bytes received;
  std::atomic<bool> senderGone{false};
  // A consumer slower than the sender, taking at most 1024 bytes a pass as
  // the relay loop does, so that the queue runs full again and again.
  std::thread consumer([&] {
    uint8_t chunk[1024];
    while (received.size() < sent.size() &&
           !(senderGone && Table().txQueue[0].Count() == 0)) {
      Table().wakeEvent.Wait(1ms);
      size_t n = Table().txQueue[0].GetSome(chunk);
      received.insert(received.end(), chunk, chunk + n);
      std::this_thread::sleep_for(200us);
    }
  });
  int client = Connect(Listen(1));
  for (size_t offset = 0; offset < sent.size();) {
    ssize_t n = ::send(client, sent.data() + offset, sent.size() - offset, MSG_NOSIGNAL);
    if (n <= 0) break;
    offset += static_cast<size_t>(n);
  }
  ::close(client);
  // Everything the client sent has been queued once its end is seen.
  EXPECT_TRUE(trace.WaitFor("DataServer1 recv Connection broken "));
  senderGone = true;
  consumer.join();
  EXPECT_TRUE(received == sent) << received.size() << " bytes received";
}

TEST_F(SocketLayerTest, SecondClientWaitsUntilFirstLeaves) {
  int port = Listen(2);
  int first = Connect(port);
  ASSERT_TRUE(trace.WaitFor("DataServer2 accepted something"));
  int second = Connect(port);  // held in the backlog, with what it sends
  SendText(second, "B");
  SendText(first, "A");
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[1].Count() > 0; }));
  EXPECT_EQ(Drain(Table().txQueue[1]), Bytes{'A'});
  ::close(first);
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[1].Count() > 0; }));
  EXPECT_EQ(Drain(Table().txQueue[1]), Bytes{'B'});
  ::close(second);
}

TEST_F(SocketLayerTest, DisconnectClosesClientAndEndsThread) {
  int port = Listen(3);
  int client = Connect(port);
  ASSERT_TRUE(WaitFor([] { return Sockets().TcpClientFd(3) >= 0; }));
  DisconnectWithin(3);
  EXPECT_FALSE(Sockets().TcpLineListening(3));
  EXPECT_EQ(Sockets().TcpClientFd(3), -1);
  EXPECT_EQ(trace.Count("DataServer3 shutdown OK "), 1);
  EXPECT_EQ(trace.Count(Text("DataServer3 accept Error ", EINVAL)), 1);
  char byte;
  EXPECT_EQ(::recv(client, &byte, 1, 0), 0);  // end of stream, not a time-out
  EXPECT_EQ(Connect(port), -1);               // nobody listens any more
  ::close(client);
}

TEST_F(SocketLayerTest, DisconnectReleasesThreadWaitingOnFullQueue) {
  int client = Connect(Listen(4));
  SendText(client, std::string(static_cast<size_t>(kQueueCapacity) + 20000, 'z'));
  ASSERT_TRUE(WaitFor([] { return Table().txQueue[3].Count() == kQueueCapacity; }));
  DisconnectWithin(4);
  ::close(client);
}

TEST_F(SocketLayerTest, ClientThatStopsReadingIsDroppedForTheNext) {
  int port = Listen(5);
  int silent = Connect(port, 4096);
  ASSERT_TRUE(trace.WaitFor("DataServer5 accepted something"));
  const uint64_t serial = Sockets().TcpClientSerial(5);
  int next = Connect(port);
  // Sends never wait: once the silent client's buffers are full, the line
  // takes nothing more.
  std::string chunk(2000, 's');
  int sent = 0;
  for (int sends = 0;
       (sent = Sockets().TcpSendNow(5, chunk.data(), 2000, &error)) > 0 && sends < 100000;
       ++sends) {
  }
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(error, 0);
  Sockets().TcpDropClient(5, serial + 1);  // not the client that holds the line
  EXPECT_EQ(Sockets().TcpSendNowTo(5, serial, "s", 1, &error), 0);
  Sockets().TcpDropClient(5, serial);
  ASSERT_TRUE(trace.WaitFor("DataServer5 accepted something", 2));
  EXPECT_EQ(Sockets().TcpClientSerial(5), serial + 1);
  SendText(next, "n");
  EXPECT_TRUE(WaitFor([] { return Table().txQueue[4].Count() == 1; }));
  ::close(silent);
  ::close(next);
}

TEST_F(SocketLayerTest, RepeatedClientsAndDisconnectsLeakNoDescriptors) {
  auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = openDescriptors();
  const int port = FreeTcpPort();
  int ended = 0;
  for (int cycle = 0; cycle < 6; ++cycle) {
    Listen(6, port);  // rebinding right away relies on SO_REUSEADDR
    for (int i = 0; i < 3 && Sockets().tcpLines[6].state != LineState::kNone; ++i) {
      int client = Connect(port);
      SendText(client, "c");
      ASSERT_TRUE(WaitFor([] { return Table().txQueue[5].Count() == 1; }));
      Drain(Table().txQueue[5]);
      if (i == 2 && cycle % 2 == 1) DisconnectWithin(6);  // with the client still there
      if (i == 1) {  // abort with a reset instead of an orderly close
        linger reset{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      }
      ::close(client);
      if (i == 1 || Sockets().tcpLines[6].state == LineState::kNone) {
        ASSERT_TRUE(WaitFor([] { return Sockets().TcpClientFd(6) == -1; }));
      } else {
        // An orderly close only ends the client's input: it keeps the line
        // until the next client comes or the line is disconnected.
        ASSERT_TRUE(trace.WaitFor("DataServer6 recv Connection broken ", ++ended));
        EXPECT_GE(Sockets().TcpClientFd(6), 0);
      }
    }
    if (Sockets().tcpLines[6].state != LineState::kNone) DisconnectWithin(6);
  }
  EXPECT_EQ(trace.Count(Text("DataServer6 recv Error ", ECONNRESET)), 6);
  // The client of each cycle's third round is still there when the line goes.
  EXPECT_EQ(trace.Count("DataServer6 shutdown OK "), 6);
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace qmx
