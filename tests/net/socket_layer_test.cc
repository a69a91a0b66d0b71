// The socket layer over real sockets on 127.0.0.1: state rules, port texts,
// the accept-and-receive thread, TcpOut and TcpDisconnect.
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
    wakeEvent.Open();
    TcpBindInput(0, &cmdQueue, &wakeEvent);
    for (int L = 1; L < kLineCount; ++L) TcpBindInput(L, &txQueue[L - 1], &wakeEvent);
    cmdQueue.Allocate(kQueueCapacity);
    for (ByteQueue& queue : txQueue) queue.Allocate(kQueueCapacity);
    ASSERT_EQ(TcpStartup(&error), 1);
  }
  void TearDown() override {
    TcpCleanup(&error);  // disconnects whatever a failed test left open
    SetSendStallLimitForTest(0);
    SetTraceSink({});
    cmdQueue.Free();
    for (ByteQueue& queue : txQueue) queue.Free();
    wakeEvent.Close();
  }
  // 0 when an operation succeeded, else the error it reported.
  int Code(int result) const { return result == 1 ? 0 : error; }
  // Makes `line` listen on `port` (a fresh free port when 0); returns the port.
  int Listen(int line, int port = 0) {
    port = port ? port : FreeTcpPort();
    CopyField(tcpLines[line].port, std::to_string(port));
    EXPECT_EQ(Code(TcpSocket(line, &error)), 0);
    EXPECT_EQ(Code(TcpListen(line, &error)), 0);
    return port;
  }
  // TcpDisconnect with a bound: if it is still blocked after 10 s, the
  // line's thread is released by hand (so the test ends) and it fails.
  void DisconnectWithin(int line) {
    auto done =
        std::async(std::launch::async, [&] { return TcpDisconnect(line, &error); });
    if (done.wait_for(10s) != std::future_status::ready) {
      ::shutdown(tcpLines[line].lineSocket, SHUT_RDWR);
      if (TcpClientFd(line) >= 0) ::shutdown(TcpClientFd(line), SHUT_RDWR);
      (line == 0 ? cmdQueue : txQueue[line - 1]).Free();
      ADD_FAILURE() << "TcpDisconnect did not return";
    }
    EXPECT_EQ(done.get(), 1);
    EXPECT_EQ(tcpLines[line].state.load(), LineState::kNone);
  }
  TraceLog trace;
  int error = 0;
};

TEST_F(SocketLayerTest, OperationsInTheWrongStateFailWithStatusError) {
  EXPECT_EQ(Code(TcpStartup(&error)), TCP_ERROR_STATUS);
  EXPECT_EQ(Code(TcpDisconnect(1, &error)), TCP_ERROR_STATUS);
  EXPECT_EQ(trace.Count("DataServer1 TcpDisconnect TCP_ERROR_STATUS"), 1);
  EXPECT_EQ(Code(TcpListen(1, &error)), TCP_ERROR_STATUS);
  Listen(1);
  EXPECT_TRUE(TcpLineListening(1));
  EXPECT_EQ(Code(TcpOut(1, "x", 1, &error)), TCP_ERROR_STATUS);  // no client yet
  EXPECT_EQ(trace.Count("DataServer1 TcpOut TCP_ERROR_STATUS"), 1);

  // A port another socket listens on: bind fails and the line keeps its
  // socket in state 1, refusing a new one until it is disconnected.
  int busyPort = 0;
  int busy = RawListener(&busyPort);
  CopyField(tcpLines[2].port, std::to_string(busyPort));
  ASSERT_EQ(Code(TcpSocket(2, &error)), 0);
  EXPECT_EQ(Code(TcpListen(2, &error)), EADDRINUSE);
  EXPECT_EQ(trace.Count(Text("DataServer2 Tcpbind NG ", EADDRINUSE)), 1);
  EXPECT_EQ(tcpLines[2].state.load(), LineState::kSocket);
  EXPECT_EQ(Code(TcpSocket(2, &error)), TCP_ERROR_STATUS);
  EXPECT_EQ(TcpDisconnect(2, &error), 1);
  EXPECT_EQ(Code(TcpSocket(2, &error)), 0);
  ::close(busy);
}

TEST_F(SocketLayerTest, PortTextIsNumberOrServiceName) {
  CopyField(tcpLines[3].port, "unused");
  ASSERT_EQ(Code(TcpSocket(3, &error)), 0);
  EXPECT_EQ(Code(TcpListen(3, &error)), TCP_ERROR_PORT);
  EXPECT_EQ(trace.Count("TcpConnect TCP_ERROR_PORT"), 1);
  EXPECT_EQ(tcpLines[3].state.load(), LineState::kSocket);

  // Texts that are not a port 1-65535 fail the listen instead of binding a
  // random port, a wrapped-around one or the leading digits.
  const int before = trace.Count("TcpConnect TCP_ERROR_PORT");
  int n = 0;
  for (const char* text : {"0", "65536", "96537", "31205x", "", "-1", " 80"}) {
    ++n;
    CopyField(tcpLines[4].port, text);
    ASSERT_EQ(Code(TcpSocket(4, &error)), 0);
    EXPECT_EQ(Code(TcpListen(4, &error)), TCP_ERROR_PORT) << "'" << text << "'";
    EXPECT_FALSE(TcpLineListening(4));
    EXPECT_EQ(TcpDisconnect(4, &error), 1);
  }
  EXPECT_EQ(trace.Count("TcpConnect TCP_ERROR_PORT"), before + n);

  TcpLine record;
  ::sockaddr_in address{};
  CopyField(record.port, "08080");
  ASSERT_EQ(TcpMakeAddress(record, &address, &error), 1);
  EXPECT_EQ(address.sin_port, htons(8080));
  EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));
  record.isClient = 1;
  CopyField(record.host, "127.0.0.1");
  CopyField(record.port, "http");
  ASSERT_EQ(TcpMakeAddress(record, &address, &error), 1) << "no 'http' in /etc/services?";
  EXPECT_EQ(address.sin_port, htons(80));
  EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(SocketLayerTest, ControlClientIsAnnouncedServedAndDropped) {
  int client = Connect(Listen(0));
  SendText(client, "hi\xFF");
  ASSERT_TRUE(WaitFor([] { return cmdQueue.Count() == 4; }));
  EXPECT_EQ(Drain(cmdQueue), (Bytes{0xFF, 'h', 'i', 0xFF}));

  EXPECT_EQ(Code(TcpOut(0, "ok", 2, &error)), 0);
  EXPECT_EQ(Code(TcpOut(0, nullptr, 0, &error)), 0);
  EXPECT_EQ(trace.Count("ControlServer1 Tcpsend send_size=0"), 1);
  char reply[2];
  ASSERT_EQ(::recv(client, reply, 2, MSG_WAITALL), 2);
  EXPECT_EQ(std::string(reply, 2), "ok");
  std::string tooLong(1001, 'x');
  EXPECT_EQ(Code(TcpOut(0, tooLong.data(), 1001, &error)), TCP_ERROR_STATUS);

  // The client ends its input: everything it sent is queued, and it keeps
  // the line for the replies still due to it until the relay ends it.
  const uint64_t serial = TcpClientSerial(0);
  SendText(client, "status\r");
  ::shutdown(client, SHUT_WR);
  ASSERT_TRUE(trace.WaitFor("ControlServer1 recv Connection broken "));
  ASSERT_TRUE(WaitFor([&] { return TcpClientInputEnded(0, serial); }));
  EXPECT_EQ(Drain(cmdQueue), (Bytes{'s', 't', 'a', 't', 'u', 's', '\r'}));
  EXPECT_GE(TcpClientFd(0), 0);
  EXPECT_EQ(Code(TcpOut(0, "200", 3, &error)), 0);
  TcpEndClient(0, serial + 1);  // another client's end: nothing happens
  EXPECT_GE(TcpClientFd(0), 0);
  TcpEndClient(0, serial);
  ASSERT_EQ(::recv(client, reply, 2, MSG_WAITALL), 2);
  char end = 0;
  EXPECT_EQ(::recv(client, &end, 1, 0), 1);  // the reply's last byte, then the end
  EXPECT_EQ(::recv(client, &end, 1, 0), 0);
  ::close(client);
  // The line stays in state 4 but has nobody to send to.
  ASSERT_TRUE(WaitFor([] { return TcpClientFd(0) == -1; }));
  EXPECT_EQ(tcpLines[0].state.load(), LineState::kConnected);
  EXPECT_EQ(Code(TcpOut(0, "ok", 2, &error)), EBADF);
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
    while (received.size() < sent.size() && !(senderGone && txQueue[0].Count() == 0)) {
      wakeEvent.Wait(1ms);
      size_t n = txQueue[0].GetSome(chunk);
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
  ASSERT_TRUE(WaitFor([] { return txQueue[1].Count() > 0; }));
  EXPECT_EQ(Drain(txQueue[1]), Bytes{'A'});
  ::close(first);
  ASSERT_TRUE(WaitFor([] { return txQueue[1].Count() > 0; }));
  EXPECT_EQ(Drain(txQueue[1]), Bytes{'B'});
  ::close(second);
}

TEST_F(SocketLayerTest, DisconnectClosesClientAndEndsThread) {
  int port = Listen(3);
  int client = Connect(port);
  ASSERT_TRUE(WaitFor([] { return TcpClientFd(3) >= 0; }));
  DisconnectWithin(3);
  EXPECT_FALSE(TcpLineListening(3));
  EXPECT_EQ(TcpClientFd(3), -1);
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
  ASSERT_TRUE(WaitFor([] { return txQueue[3].Count() == kQueueCapacity; }));
  DisconnectWithin(4);
  ::close(client);
}

TEST_F(SocketLayerTest, ClientThatStopsReadingIsDroppedForTheNext) {
  SetSendStallLimitForTest(300);
  int port = Listen(5);
  int silent = Connect(port, 4096);
  ASSERT_TRUE(trace.WaitFor("DataServer5 accepted something"));
  int next = Connect(port);
  std::string chunk(2000, 's');
  for (int sends = 0; TcpOut(5, chunk.data(), 2000, &error) == 1 && sends < 100000;
       ++sends) {
  }
  EXPECT_EQ(error, ETIMEDOUT);
  EXPECT_EQ(trace.Count(Text("DataServer5 Tcpsend Error ", ETIMEDOUT)), 1);
  ASSERT_TRUE(trace.WaitFor("DataServer5 accepted something", 2));
  SendText(next, "n");
  EXPECT_TRUE(WaitFor([] { return txQueue[4].Count() == 1; }));
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
    for (int i = 0; i < 3 && tcpLines[6].state != LineState::kNone; ++i) {
      int client = Connect(port);
      SendText(client, "c");
      ASSERT_TRUE(WaitFor([] { return txQueue[5].Count() == 1; }));
      Drain(txQueue[5]);
      if (i == 2 && cycle % 2 == 1) DisconnectWithin(6);  // with the client still there
      if (i == 1) {  // abort with a reset instead of an orderly close
        linger reset{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
      }
      ::close(client);
      if (i == 1 || tcpLines[6].state == LineState::kNone) {
        ASSERT_TRUE(WaitFor([] { return TcpClientFd(6) == -1; }));
      } else {
        // An orderly close only ends the client's input: it keeps the line
        // until the next client comes or the line is disconnected.
        ASSERT_TRUE(trace.WaitFor("DataServer6 recv Connection broken ", ++ended));
        EXPECT_GE(TcpClientFd(6), 0);
      }
    }
    if (tcpLines[6].state != LineState::kNone) DisconnectWithin(6);
  }
  EXPECT_EQ(trace.Count(Text("DataServer6 recv Error ", ECONNRESET)), 6);
  // The client of each cycle's third round is still there when the line goes.
  EXPECT_EQ(trace.Count("DataServer6 shutdown OK "), 6);
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SocketLayerTest, ClientLineConnectsOnceAndSends) {
  TcpLine& line = tcpLines[7];
  line.isClient = 1;
  CopyField(line.host, "127.0.0.1");
  CopyField(line.port, std::to_string(FreeTcpPort()));  // nobody listens there
  ASSERT_EQ(Code(TcpSocket(7, &error)), 0);
  EXPECT_EQ(Code(TcpConnect(7, &error)), ECONNREFUSED);
  EXPECT_EQ(trace.Count(Text("DataServer7 TcpConnect NG ", ECONNREFUSED)), 1);
  EXPECT_EQ(line.state.load(), LineState::kSocket);
  ASSERT_EQ(TcpDisconnect(7, &error), 1);

  int port = 0;
  int server = RawListener(&port);
  CopyField(line.port, std::to_string(port));
  ASSERT_EQ(Code(TcpSocket(7, &error)), 0);
  ASSERT_EQ(Code(TcpConnect(7, &error)), 0);
  EXPECT_EQ(line.state.load(), LineState::kConnected);
  EXPECT_EQ(trace.Count(Text("DataServer7 Establish: port=", port) + " addr=127.0.0.1\n"),
            1);
  int peer = ::accept(server, nullptr, nullptr);
  ASSERT_EQ(Code(TcpOut(7, "hello", 5, &error)), 0);
  char text[5];
  ASSERT_EQ(::recv(peer, text, 5, MSG_WAITALL), 5);
  EXPECT_EQ(std::string(text, 5), "hello");
  DisconnectWithin(7);
  EXPECT_EQ(::recv(peer, text, 1, 0), 0);
  line.isClient = 0;
  ClearField(line.host);
  ::close(peer);
  ::close(server);
}

}  // namespace
}  // namespace qmx
