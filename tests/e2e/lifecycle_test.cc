// The life of a port at its edges, end to end: a port held for a line whose
// listener failed, ports whose names are not comN, devices that are absent at
// start or vanish and come back, and clients of the control line that leave
// half-way or stop reading.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "harness.h"
#include "net/socket_layer.h"
#include "serial/rs_port.h"

namespace qmx::test {
namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    settings_.control = std::to_string(control_);
    for (int L = 1; L <= 8; ++L) port_[L] = FreeTcpPort();
  }
  void Start() {
    dir_.WriteFile("qmx.txt", settings_.Text());
    server_.Start();
    client_ = std::make_unique<ControlClient>(control_);
  }
  std::string Cmd(const std::string& c) { return client_->Command(c); }
  std::string Row(int L) {
    const std::string status = Cmd("status");
    const std::string head = std::to_string(L) + ":";
    size_t at = status.find(head);
    return at == std::string::npos ? status
                                   : status.substr(at, status.find("\r\n", at) - at);
  }
  bool HasErrorEntry(const std::string& text) {
    auto entries = ErrorLogEntries();
    return std::find(entries.begin(), entries.end(), text) != entries.end();
  }

  ScratchDir dir_;
  Settings settings_;
  InProcessServer server_;
  int control_ = 0;
  int port_[9] = {};
  std::unique_ptr<ControlClient> client_;
};

// A data line whose listener cannot start keeps its port open; that port is
// neither overwritten by open nor out of reach of close.
TEST_F(Lifecycle, PortHeldForALineWhoseListenerFailedIsReleasedByClose) {
  PtyDevice com1("com1", Play::kEcho);
  settings_.tcp[1] = std::to_string(control_);  // taken by the control line
  settings_.serial[1] = "com1";
  Start();
  EXPECT_EQ(Row(1), "1:" + std::to_string(control_) + "-com1 NG");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kOpen);

  EXPECT_EQ(Cmd("open com1"), "423 has already opened\r\n");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kOpen);  // its record was not cleared
  EXPECT_GE(Table().serial.rsPorts[0].handle.load(), 0);

  EXPECT_EQ(Cmd("close com1"), "200 OK\r\n");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kClosed);
  EXPECT_LT(Table().serial.rsPorts[0].handle.load(), 0);
  EXPECT_EQ(Row(1), "1:unused-unused unused");
  EXPECT_EQ(Cmd("close com1"), "422 not opened\r\n");
}

// Names are whatever the settings say: closing a line by its TCP port
// releases its port whether or not the name starts with "com".
TEST_F(Lifecycle, CloseByTcpPortReleasesAPortWhateverItsName) {
  PtyDevice gps("gps", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "gps";
  settings_.com[0] = "gps,9600,n,8,1,n";
  Start();
  EXPECT_EQ(Row(1), "1:" + std::to_string(port_[1]) + "-gps OK");
  EXPECT_EQ(Cmd("close " + std::to_string(port_[1])), "200 OK\r\n");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kClosed);
  EXPECT_LT(Table().serial.rsPorts[0].handle.load(), 0);
  EXPECT_EQ(Cmd("open gps"),
            "200 opened by 9600,n,8,1,n. Port is " + std::to_string(port_[1]) + "\r\n");
  TcpClient c(port_[1]);
  c.Send("ping");
  EXPECT_EQ(c.ReadCount(4), "ping");
}

// A device that is not there at start-up is waited for; when it appears the
// line comes up by itself. close stops the waiting.
TEST_F(Lifecycle, DeviceAbsentAtStartComesUpWhenItAppears) {
  MissingDevice("com1");
  MissingDevice("com2");
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  settings_.tcp[2] = std::to_string(port_[2]);
  settings_.serial[2] = "com2";
  Start();
  EXPECT_EQ(Row(1), "1:" + std::to_string(port_[1]) + "-com1 NG");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kAwaitingDevice);
  EXPECT_TRUE(HasErrorEntry("com1 open failure: com1: No such file or directory"));

  EXPECT_EQ(Cmd("close com2"), "200 OK\r\n");  // no more waiting for com2
  EXPECT_EQ(PortStateOf(Table(), 1), PortState::kClosed);

  PtyDevice com1("com1", Play::kEcho);
  const std::string ok = "1:" + std::to_string(port_[1]) + "-com1 OK";
  EXPECT_TRUE(WaitFor([&] { return Row(1) == ok; }, 10s)) << Row(1);
  EXPECT_TRUE(HasErrorEntry("com1 device back"));
  TcpClient c(port_[1]);
  c.Send("ping");
  EXPECT_EQ(c.ReadCount(4), "ping");
  EXPECT_EQ(PortStateOf(Table(), 1), PortState::kClosed);
}

// A device that vanishes is closed and waited for; when it is back, the
// client that stayed on the line is served again.
TEST_F(Lifecycle, DeviceThatVanishesComesBackAndItsClientStays) {
  auto com1 = std::make_unique<PtyDevice>("com1", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  Start();
  TcpClient c(port_[1]);
  c.Send("one");
  EXPECT_EQ(c.ReadCount(3), "one");

  com1->Hangup();
  EXPECT_TRUE(WaitFor(
      [&] { return PortStateOf(Table(), 0) == PortState::kAwaitingDevice; }, 10s));
  EXPECT_EQ(Row(1), "1:" + std::to_string(port_[1]) + "-com1 NG");
  EXPECT_TRUE(HasErrorEntry("com1 device lost; waiting for it"));
  // With its link gone too, the port waits for the link: it never takes the
  // machine's own /dev/ttyS0 under the same name.
  com1.reset();
  std::filesystem::remove("com1");
  auto triedPath = [] {
    MutexLock lock(Table().engineLock);
    return Table().serial.RsOpenPath(0);
  };
  EXPECT_FALSE(WaitFor([&] { return triedPath() != "com1"; }, 2500ms)) << triedPath();
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kAwaitingDevice);
  com1 = std::make_unique<PtyDevice>("com1", Play::kEcho);
  EXPECT_TRUE(WaitFor([&] { return PortStateOf(Table(), 0) == PortState::kOpen; }, 10s));
  EXPECT_EQ(Row(1), "1:" + std::to_string(port_[1]) + "-com1 OK");
  c.Send("two");
  EXPECT_EQ(c.ReadCount(3), "two");

  EXPECT_EQ(Cmd("close com1"), "200 OK\r\n");
  EXPECT_EQ(PortStateOf(Table(), 0), PortState::kClosed);
}

// What a departing control client leaves behind never reaches, nor runs for,
// the next client.
TEST_F(Lifecycle, DepartedControlClientsLeaveNothingToTheNext) {
  PtyDevice com1("com1", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  Start();
  client_.reset();
  {
    // A half command, then gone.
    TcpClient a(control_);
    a.ReadUntil("ready\r\n");
    a.Send("close com1 ");
    a.ReadCount(11);  // its echo: the bytes were taken
  }
  {
    ControlClient b(control_);
    EXPECT_EQ(b.greeting(), "QMX ver2.01 ready\r\n");
    std::string reply = b.Command("status");
    EXPECT_EQ(reply.rfind("200 Status is:", 0), 0u) << reply;
    EXPECT_EQ(PortStateOf(Table(), 0), PortState::kOpen);
  }

  for (int round = 0; round < 3; ++round) {
    {
      // Thousands of commands, then gone without reading a byte.
      TcpClient a(control_);
      std::string flood;
      for (int i = 0; i < 3000; ++i) flood += "status com1\r";
      a.Send(flood);
    }
    TcpClient next(control_);
    EXPECT_EQ(next.ReadCount(19), "QMX ver2.01 ready\r\n") << "round " << round;
    next.Send("hello\r");
    EXPECT_EQ(next.ReadUntil("220 QMX ver2.01 ready\r\n"),
              "hello\r\n220 QMX ver2.01 ready\r\n");
  }
}

// A control client that sends commands and reads nothing holds up neither the
// data lines nor its own share of memory: its input is no longer taken once
// its output backlog is full, and it is dropped when it takes nothing for the
// stall limit.
TEST_F(Lifecycle, ControlClientThatStopsReadingNeitherStallsDataNorStays) {
  Table().net.SetSendStallLimitForTest(3000);
  PtyDevice com1("com1", Play::kEcho);
  settings_.tcp[1] = std::to_string(port_[1]);
  settings_.serial[1] = "com1";
  Start();
  client_.reset();

  // A small receive buffer, set before the connect so that it holds: the
  // server's output backs up after a few kilobytes instead of megabytes.
  const int silentFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(silentFd, 0);
  int small = 4096;
  ::setsockopt(silentFd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(control_));
  ASSERT_EQ(::connect(silentFd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    const std::string command = "status\r";
    while (!stop.load()) {
      if (::send(silentFd, command.data(), command.size(), MSG_DONTWAIT | MSG_NOSIGNAL) <
          0) {
        if (errno != EAGAIN) break;
        std::this_thread::sleep_for(1ms);
      }
    }
  });

  TcpClient data(port_[1]);
  auto slowest = std::chrono::milliseconds(0);
  for (int i = 0; i < 200; ++i) {
    const std::string ping = "p" + std::to_string(i % 10);
    const auto started = std::chrono::steady_clock::now();
    data.Send(ping);
    ASSERT_EQ(data.ReadCount(2, 5s), ping) << "round trip " << i;
    slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - started));
    std::this_thread::sleep_for(10ms);
  }
  std::printf("slowest data round trip beside a non-reading control client: %lld ms\n",
              static_cast<long long>(slowest.count()));
  // Dropped with a reset, seen without reading a byte.
  EXPECT_TRUE(WaitFor(
      [&] {
        pollfd p{silentFd, 0, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
      },
      20s));
  stop = true;
  flood.join();
  ::close(silentFd);

  ControlClient next(control_);
  EXPECT_EQ(next.Command("hello"), "220 QMX ver2.01 ready\r\n");
}

}  // namespace
}  // namespace qmx::test
