#include "fake_server.h"

#include "engine/port_lifecycle.h"
#include "platform/fixed_text.h"
#include "testsupport/wait_for.h"

namespace qmx::test {

FakeServer::FakeServer() { serial.fill("unused"); }

FakeServer::~FakeServer() {
  if (server_ != nullptr) server_->Stop();
}

void FakeServer::Start() {
  std::string text = "fake server\r\n" + std::to_string(kControlPort) + "\r\n";
  for (int L = 1; L <= 8; ++L)
    text += std::to_string(DataPort(L)) + "," + serial[L] + "\r\n";
  for (int n = 1; n <= 8; ++n) text += "com" + std::to_string(n) + ",9600,n,8,1,n\r\n";
  text += "0\r\n";
  ASSERT_TRUE(dir_.WriteFile("qmx.txt", text));
  server_ = std::make_unique<Server>(dir_.path(), kDefaultDataLines,
                                     ServerSeams{&devices_, &network_});
  server_->Table().SetRfc2217Lines(rfc2217Lines);
  server_->Table().net.SetControlClients(controlClients);
  server_->Table().net.SetControlIdleSeconds(controlIdleSeconds);
  ASSERT_EQ(server_->Start(), Server::StartResult::kServing);
}

std::shared_ptr<FakeDeviceEnd> FakeServer::Plug(int n) {
  devices_.Plug(DevicePath(n));
  return devices_.End(DevicePath(n));
}

std::shared_ptr<FakeClientEnd> FakeServer::Connect(int port) {
  SocketLayer& net = server_->Table().net;
  int line = -1;
  for (int L = 0; L < server_->Table().LineCount(); ++L) {
    if (net.TcpLineListening(L) && net.tcpLines[L].listenPort.load() == port) line = L;
  }
  const bool free = line >= 0 && net.TcpClientFd(line) < 0;
  const uint64_t before = line >= 0 ? net.TcpClientSerial(line) : 0;
  std::shared_ptr<FakeClientEnd> client = network_.Connect(static_cast<uint16_t>(port));
  if (client != nullptr && free) {
    EXPECT_TRUE(testsupport::WaitFor([&] { return net.TcpClientSerial(line) != before; }))
        << "port " << port << " did not take its client";
  }
  return client;
}

bool FakeServer::ReceivedUntil(FakeClientEnd& client,
                               const std::function<bool(const std::string&)>& check,
                               std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string now = client.Received();
    if (check(now)) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) return false;
    (void)client.WaitForReceived(now.size() + 1, left);
  }
}

FakeClientEnd& FakeServer::Control() {
  if (control_ == nullptr) {
    control_ = Connect(kControlPort);
    EXPECT_NE(control_, nullptr);
    EXPECT_TRUE(ReceivedUntil(
        *control_, [](const std::string& s) { return s == "QMX ver2.01 ready\r\n"; }));
    control_->TakeReceived();
  }
  return *control_;
}

std::string FakeServer::Command(const std::string& command, const std::string& last) {
  FakeClientEnd& control = Control();
  control.TakeReceived();
  control.Send(command + "\r");
  const std::string echo = command + "\r\n";
  ReceivedUntil(control, [&](const std::string& s) {
    return s.size() >= echo.size() + last.size() &&
           s.compare(0, echo.size(), echo) == 0 &&
           s.compare(s.size() - last.size(), last.size(), last) == 0;
  });
  const std::string got = control.TakeReceived();
  return got.compare(0, echo.size(), echo) == 0 ? got.substr(echo.size()) : got;
}

std::string FakeServer::LineStatus(int line) {
  LineTable& table = server_->Table();
  MutexLock lock(table.engineLock);
  return std::string(table.LineStatusText(line));
}

PortState FakeServer::StateOf(int n) { return PortStateOf(server_->Table(), n - 1); }

}  // namespace qmx::test
