// The record hand-off (TcpRecv, TcpRecvLen) and the datagram functions over
// real sockets on 127.0.0.1, and the ending of every line's receiving thread.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <array>
#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "engine/line_table.h"
#include "net/net_test_support.h"
#include "net/socket_internal.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

using namespace net_test;

// A 20-byte record: four one-byte fields, then text padded with NULs.
Bytes Record(std::array<uint8_t, 4> fields, std::string_view text) {
  Bytes record(kRecordSize);
  std::copy(fields.begin(), fields.end(), record.begin());
  std::copy_n(text.begin(), std::min<size_t>(text.size(), kRecordSize - 4),
              record.begin() + 4);
  return record;
}

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

size_t ThreadCount() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                    std::filesystem::directory_iterator{}));
}

class RecordDatagramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTraceSink([this](std::string_view message) { trace.Add(message); });
    for (int L = 1; L < Table().LineCount(); ++L)
      Sockets().TcpBindInput(L, &Table().txQueue[L - 1], &Table().wakeEvent);
    for (ByteQueue& queue : Table().txQueue) queue.Allocate(kQueueCapacity);
    ASSERT_EQ(Sockets().TcpStartup(&error), 1);
    // ThreadSanitizer starts a helper thread with the first thread created;
    // let that happen before the count.
    std::thread([] {}).join();
    threadsAtStart = ThreadCount();
  }
  void TearDown() override {
    Sockets().TcpCleanup(&error);
    EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsAtStart; }));
    for (TcpLine& line : Sockets().tcpLines) line.socketType = SocketType::kStream;
    Sockets().SetRecordWaitForTest(0);
    SetTraceSink({});
    for (ByteQueue& queue : Table().txQueue) queue.Free();
  }
  // Puts a socket connected to 127.0.0.1:port on `line` and starts its
  // receiving thread, as a line type that connects does: TcpRecvThread on a
  // stream, UdpRecvcliThread on a datagram socket. 0, or the failure's code.
  int ConnectLine(int line, int port, SocketType socketType = SocketType::kStream) {
    TcpLine& record = Sockets().tcpLines[line];
    const bool stream = socketType == SocketType::kStream;
    const int fd = ::socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    const ::sockaddr_in to = Loopback(port);
    if (::connect(fd, reinterpret_cast<const ::sockaddr*>(&to), sizeof(to)) != 0) {
      const int code = errno;
      ::close(fd);
      return code;
    }
    record.socketType = socketType;
    record.lineSocket = fd;
    record.lastError = 0;
    const int failure = net::StartRecordThread(
        record, stream ? &SocketLayer::TcpRecvThread : &SocketLayer::UdpRecvcliThread);
    // Without its thread the line keeps only its socket, for TcpDisconnect.
    record.state = failure == 0 ? LineState::kConnected : LineState::kSocket;
    return failure;
  }
  // One record from TcpRecv (UdpRecvfrom, which waits only a second, gets
  // a few tries); nothing when it fails, with the code in `error`.
  std::optional<Bytes> Take(int line, bool datagram = false) {
    Bytes data(kRecordSize);
    int length = 0;
    for (int tries = datagram ? 10 : 1; tries > 0; --tries) {
      if ((Sockets().*(datagram ? &SocketLayer::UdpRecvfrom : &SocketLayer::TcpRecv))(
              line, data, &length, &error))
        return data;
      if (error != TCP_ERROR_TIMEOUT) break;
    }
    return std::nullopt;
  }
  // TcpDisconnect, bounded: a thread it cannot end fails the test after
  // 10 s and is released by hand.
  void DisconnectWithin(int line) {
    auto done = std::async(std::launch::async,
                           [&] { return Sockets().TcpDisconnect(line, &error); });
    if (done.wait_for(10s) != std::future_status::ready) {
      Sockets().tcpLines[line].stopRequested = true;
      Sockets().tcpLines[line].recvTakenEvent.Set();
      ADD_FAILURE() << "TcpDisconnect did not end the line's thread";
    }
    EXPECT_EQ(done.get(), 1);
  }
  TraceLog trace;
  int error = 0;
  size_t threadsAtStart = 0;
};

TEST_F(RecordDatagramTest, ConnectedLineTakesWholeRecordsWhateverTheSends) {
  int port = 0;
  int server = RawListener(&port);
  ASSERT_EQ(ConnectLine(7, port), 0);
  int peer = ::accept(server, nullptr, nullptr);
  const Bytes first = Record({0x01, 0x82, 3, 4}, "first");
  const Bytes second = Record({0xA0, 0x00, 200, 1}, "second record 16");
  SendText(peer, AsText(first) + AsText(second).substr(0, 10));
  EXPECT_EQ(Take(7), first);
  EXPECT_EQ(trace.Count("DataServer7 Tcprecv ope=01 sub=82 lane=3 dnum=4 text=first"), 1);

  // The rest of the second record comes in two more pieces, each sent once
  // the thread has received everything before it.
  for (size_t offset : {10, 15}) {
    ASSERT_TRUE(WaitFor([] {
      int unread = -1;
      return ::ioctl(Sockets().tcpLines[7].lineSocket, FIONREAD, &unread) == 0 &&
             unread == 0;
    }));
    SendText(peer, AsText(second).substr(offset, 5));
  }
  EXPECT_EQ(Take(7), second);
  EXPECT_EQ(
      trace.Count(
          "DataServer7 Tcprecv ope=a0 sub=00 lane=200 dnum=1 text=second record 16"),
      1);
  ::close(peer);
  ::close(server);
}

TEST_F(RecordDatagramTest, WrongStatesAreRefused) {
  CopyField(Sockets().tcpLines[1].port, std::to_string(FreeTcpPort()));
  ASSERT_TRUE(Sockets().TcpSocket(1, &error) && Sockets().TcpListen(1, &error));
  EXPECT_FALSE(Take(1));
  EXPECT_EQ(error, TCP_ERROR_STATUS);
  EXPECT_EQ(Sockets().TcpRecvLen(1, &error), -1);
  EXPECT_EQ(trace.Count("DataServer1 TcpRecv TCP_ERROR_STATUS"), 1);

  // A datagram line sends and receives only once bound.
  Sockets().tcpLines[3].socketType = SocketType::kDatagram;
  ASSERT_EQ(Sockets().TcpSocket(3, &error), 1);
  int peerPort = 0;
  int peer = RawDatagramSocket(&peerPort);
  ::sockaddr_in to = Loopback(peerPort);
  EXPECT_EQ(Sockets().UdpSendto(3, &to, "datagram", 8, &error) ? 0 : error,
            TCP_ERROR_STATUS);
  EXPECT_FALSE(Take(3, true));
  EXPECT_EQ(error, TCP_ERROR_STATUS);
  EXPECT_EQ(trace.Count("DataServer3 UdpSendto TCP_ERROR_STATUS"), 1);
  EXPECT_EQ(trace.Count("DataServer3 UdpRecvfrom TCP_ERROR_STATUS"), 1);
  ::close(peer);
}

TEST_F(RecordDatagramTest, ReceivingThreadEndsOnPeerCloseAndOnDisconnect) {
  Sockets().SetRecordWaitForTest(50);
  int port = 0;
  int server = RawListener(&port);
  ASSERT_EQ(ConnectLine(7, port), 0);
  Sockets().tcpLines[8].recvLength = 0;
  ASSERT_EQ(ConnectLine(8, port), 0);
  int closing = ::accept(server, nullptr, nullptr);
  int sender = ::accept(server, nullptr, nullptr);
  EXPECT_FALSE(Take(7));
  EXPECT_EQ(error, TCP_ERROR_TIMEOUT);
  EXPECT_EQ(trace.Count("DataServer7 TcpRecv WAIT_TIMEOUT"), 1);

  // Half a record, then the peer closes: the thread ends rather than
  // receive nothing again and again, and the half record is not handed out.
  SendText(closing, "partial");
  ::close(closing);
  EXPECT_TRUE(trace.WaitFor("DataServer7 recv Connection broken "));
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsAtStart + 1; }));
  EXPECT_FALSE(Take(7));
  Sockets().tcpLines[7].recvPending = 1;  // a pending receive is reported once
  EXPECT_EQ(Sockets().TcpRecvLen(7, &error), -1);
  EXPECT_EQ(error, TCP_ERROR_TIMEOUT);
  EXPECT_EQ(Sockets().TcpRecvLen(7, &error), 0);

  // Line 8's thread holds a record nobody takes: only the disconnect can
  // end its wait, and the record does not reach the next connection.
  SendText(sender, AsText(Record({1, 2, 3, 4}, "untaken")));
  ASSERT_TRUE(WaitFor([] { return Sockets().tcpLines[8].recvLength == kRecordSize; }));
  DisconnectWithin(8);
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == threadsAtStart; }));
  ASSERT_EQ(ConnectLine(8, port), 0);
  int next = ::accept(server, nullptr, nullptr);
  EXPECT_FALSE(Take(8));
  for (int fd : {sender, next, server}) ::close(fd);
}

TEST_F(RecordDatagramTest, DatagramLinesExchangeRecords) {
  int serverPort = 0;
  ::close(RawDatagramSocket(&serverPort));
  Sockets().tcpLines[3].socketType = SocketType::kDatagram;
  CopyField(Sockets().tcpLines[3].port, std::to_string(serverPort));
  ASSERT_TRUE(Sockets().TcpSocket(3, &error) && Sockets().TcpListen(3, &error));
  EXPECT_EQ(trace.Count("DataServer3 UdpBind OK"), 1);
  EXPECT_TRUE(Sockets().tcpLines[3].recordThread.joinable());
  ASSERT_EQ(ConnectLine(4, serverPort, SocketType::kDatagram), 0);
  ::sockaddr_in client{};
  ::socklen_t size = sizeof(client);
  ::getsockname(Sockets().tcpLines[4].lineSocket, reinterpret_cast<::sockaddr*>(&client),
                &size);

  // Connected line to bound line: the bound line's thread only traces what
  // it gets.
  ::sockaddr_in server = Loopback(serverPort);
  const Bytes up = Record({0xC1, 0x02, 1, 9}, "up");
  ASSERT_EQ(Sockets().UdpSendto(4, &server, up.data(), kRecordSize, &error), 1);
  EXPECT_EQ(trace.Count("DataServer4 UdpSendto ope=c1 sub=02 lane=1 dnum=9"), 1);
  EXPECT_TRUE(trace.WaitFor("DataServer3 buffer_length = 24 , bytes_received = 20"));

  // Bound line to connected line: one record whole, one in two datagrams.
  const Bytes down = Record({0x7F, 0xEE, 2, 250}, "down");
  ASSERT_EQ(Sockets().UdpSendto(3, &client, down.data(), kRecordSize, &error), 1);
  ASSERT_EQ(Sockets().UdpSendto(3, &client, up.data(), 12, &error), 1);
  ASSERT_EQ(Sockets().UdpSendto(3, &client, up.data() + 12, 8, &error), 1);
  EXPECT_EQ(Take(4, true), down);
  EXPECT_EQ(Take(4, true), up);
  EXPECT_EQ(trace.Count("DataServer4 UdpRecvfrom ope=7f sub=ee lane=2 dnum=250"), 1);

  DisconnectWithin(3);
  EXPECT_EQ(error, 0);  // an unconnected datagram socket's shutdown is no failure
  EXPECT_FALSE(Sockets().tcpLines[3].recordThread.joinable());
}

}  // namespace
}  // namespace qmx
