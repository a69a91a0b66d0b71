// Data lines end to end: bytes between a TCP client and a pty serial device.
#include <gtest/gtest.h>

#include "engine/line_table.h"
#include "harness.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"

namespace qmx::test {
namespace {

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return s;
}

class Relay : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = FreeTcpPort();
    for (int L = 1; L <= 3; ++L) data_[L] = FreeTcpPort();
  }
  ScratchDir dir_;
  InProcessServer server_;
  int control_ = 0;
  int data_[9] = {};
};

TEST_F(Relay, DataLineCarriesBytesBothWaysInOrder) {
  PtyDevice device("com1", Play::kSelf);
  Settings s;
  s.control = std::to_string(control_);
  s.tcp[1] = std::to_string(data_[1]);
  s.serial[1] = "com1";
  dir_.WriteFile("qmx.txt", s.Text());

  std::vector<std::string> traces;
  std::mutex traceMutex;
  SetTraceSink([&](std::string_view m) {
    std::lock_guard lock(traceMutex);
    traces.emplace_back(m);
  });
  server_.Start();
  ASSERT_EQ(LineStatus(1), "OK");
  TcpClient client(data_[1]);
  ASSERT_TRUE(client.connected());

  // Client to device: 3000 bytes arrive whole and in order.
  std::string out = Pattern(3000, 1);
  client.Send(out);
  EXPECT_EQ(device.Read(out.size()), out);

  // Device to client.
  std::string in = Pattern(100000, 7);
  std::thread writer([&] { device.Write(in); });
  EXPECT_EQ(client.ReadCount(in.size(), 30s), in);
  writer.join();
  SetTraceSink(nullptr);

  // No serial write is larger than the relay's chunk.
  std::lock_guard lock(traceMutex);
  for (const std::string& t : traces) {
    if (t.rfind("\n", 0) == 0 && t.find(" bytes written") != std::string::npos) {
      EXPECT_LE(std::stol(t.substr(1)), 1024) << t;
    }
  }
}

TEST_F(Relay, ReceiveLinesGetACopyOfEverythingThePortReceives) {
  PtyDevice device("com1", Play::kSelf);
  Settings s;
  s.control = std::to_string(control_);
  s.tcp[1] = std::to_string(data_[1]);
  s.serial[1] = "com1";
  s.tcp[2] = std::to_string(data_[2]);
  s.serial[2] = "receive com1";
  s.tcp[3] = std::to_string(data_[3]);
  s.serial[3] = "receive com1";
  dir_.WriteFile("qmx.txt", s.Text());
  server_.Start();
  EXPECT_EQ(Table().routeTable[0].load(), 0);
  EXPECT_EQ(Table().routeTable[1].load(), 0);
  EXPECT_EQ(Table().routeTable[2].load(), 0);

  TcpClient bridged(data_[1]), copy1(data_[2]), copy2(data_[3]);
  ASSERT_TRUE(bridged.connected() && copy1.connected() && copy2.connected());
  // Make sure every line has accepted its client before the device talks.
  ASSERT_TRUE(WaitFor([] {
    return Table().net.TcpClientFd(1) >= 0 && Table().net.TcpClientFd(2) >= 0 &&
           Table().net.TcpClientFd(3) >= 0;
  }));
  std::string in = Pattern(50000, 3);
  device.Write(in);
  EXPECT_EQ(bridged.ReadCount(in.size(), 30s), in);
  EXPECT_EQ(copy1.ReadCount(in.size(), 30s), in);
  EXPECT_EQ(copy2.ReadCount(in.size(), 30s), in);
}

TEST_F(Relay, ClientThatSendsFasterThanTheDeviceReadsLosesNothing) {
  PtyDevice device("com1", Play::kSelf);
  Settings s;
  s.control = std::to_string(control_);
  s.tcp[1] = std::to_string(data_[1]);
  s.serial[1] = "com1";
  dir_.WriteFile("qmx.txt", s.Text());
  server_.Start();
  TcpClient client(data_[1]);
  std::string out = Pattern(400000, 5);
  std::thread sender([&] { client.Send(out); });
  // The device reads slowly at first, so the queues fill up.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(device.Read(out.size(), 60s), out);
  sender.join();
}

}  // namespace
}  // namespace qmx::test
