#include "stress_support.h"

#include <cstdlib>

namespace qmx::test {

double TrafficScale() {
  if (const char* text = std::getenv("QMX_STRESS_SCALE")) {
    const double scale = std::atof(text);
    if (scale > 0) return scale;
  }
#if defined(__SANITIZE_THREAD__)
  return 0.25;
#elif defined(__SANITIZE_ADDRESS__)
  return 0.5;
#else
  return 1.0;
#endif
}

int Scaled(int count, int floor) {
  const int scaled = static_cast<int>(count * TrafficScale());
  return scaled > floor ? scaled : floor;
}

void EightEchoLines::SetUp() {
  controlPort_ = FreeTcpPort();
  Settings settings;
  settings.control = std::to_string(controlPort_);
  for (int L = 1; L <= 8; ++L) {
    port_[L] = FreeTcpPort();
    const std::string name = "com" + std::to_string(L);
    std::string error;
    devices_[L] = PtyDevice::Create(dir_.path() + "/" + name, Play::kEcho, &error);
    ASSERT_TRUE(devices_[L]) << error;
    settings.tcp[L] = std::to_string(port_[L]);
    settings.serial[L] = name;
  }
  dir_.WriteFile("qmx.txt", settings.Text());
}

void EightEchoLines::StartQmxd() {
  qmxd_ = std::make_unique<ServerProcess>();
  control_ = std::make_unique<load::ControlSession>(controlPort_, 20s);
  ASSERT_TRUE(control_->connected()) << qmxd_->Stderr();
}

void EightEchoLines::StartInProcess() {
  inProcess_ = std::make_unique<InProcessServer>();
  inProcess_->Start();
  control_ = std::make_unique<load::ControlSession>(controlPort_, 20s);
  ASSERT_TRUE(control_->connected());
}

std::string EightEchoLines::ExpectedStatus() const {
  std::string status = "200 Status is:\r\n";
  for (int L = 1; L <= 8; ++L) {
    status += std::to_string(L) + ":" + std::to_string(port_[L]) + "-com" +
              std::to_string(L) + " OK\r\n";
  }
  return status;
}

void EightEchoLines::ExpectSettledThenCleanExit(const load::ServerFigures& baseline) {
  // Clients that closed after ending their input are let go when the next
  // client comes: one more, gone at once, on every data line.
  for (int L = 1; L <= 8; ++L) load::ReleaseEndedClient(port_[L], 2s);
  load::ServerFigures last;
  const bool settled = WaitFor(
      [&] {
        last = Figures();
        return last.descriptors == baseline.descriptors &&
               last.threads == baseline.threads;
      },
      15s);
  EXPECT_TRUE(settled) << "descriptors " << baseline.descriptors << " -> "
                       << last.descriptors << ", threads " << baseline.threads << " -> "
                       << last.threads;
  ExpectCleanExit();
}

void EightEchoLines::ExpectCleanExit() {
  const int status = qmxd_->Terminate();
  EXPECT_EQ(status, 0) << ExitReport(*qmxd_, status);
}

BackgroundStream::BackgroundStream(int port, uint64_t seed, uint64_t window,
                                   std::chrono::milliseconds idleLimit) {
  thread_ = std::thread([this, port, seed, window, idleLimit] {
    load::LineSocket socket(port, 10s);
    load::StreamOptions options;
    options.seed = seed;
    options.window = window;
    options.idleLimit = idleLimit;
    options.stop = &stop_;
    options.intactCounter = &intact_;
    if (socket.connected()) {
      outcome_ = load::RunEchoStream(socket, options);
    } else {
      outcome_.failure = "no connection";
    }
  });
}

load::StreamOutcome BackgroundStream::Finish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return outcome_;
}

std::string ExitReport(ServerProcess& server, int status) {
  return "qmxd exit status " + std::to_string(status) + "; its standard error:\n" +
         server.Stderr();
}

}  // namespace qmx::test
