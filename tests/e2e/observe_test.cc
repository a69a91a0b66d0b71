// What qmxd tells those who watch it: a service manager (readiness, status,
// watchdog, reloading, stopping), Prometheus (the metrics page, which promtool accepts)
// and the log on standard error (each client's connect and disconnect).
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>

#include "harness.h"

namespace qmx::test {
namespace {

// A datagram socket in the abstract namespace that plays the service
// manager's NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket() {
    name_ =
        "qmx-notify-" + std::to_string(::getpid()) + "-" + std::to_string(FreeTcpPort());
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name_.data(), name_.size());
    const auto length =
        static_cast<::socklen_t>(offsetof(::sockaddr_un, sun_path) + 1 + name_.size());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<const ::sockaddr*>(&address), length), 0);
  }
  ~NotifySocket() { ::close(fd_); }
  std::string Variable() const { return "NOTIFY_SOCKET=@" + name_; }

  // The next message, or "" when none came within `limit`.
  std::string Next(std::chrono::milliseconds limit = 10s) {
    ::pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) != 1) return "";
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }
  // Skips messages until one starts with `prefix`; "" when none did in time.
  std::string Await(const std::string& prefix) {
    for (;;) {
      const std::string message = Next();
      if (message.empty() || message.rfind(prefix, 0) == 0) return message;
    }
  }

 private:
  std::string name_;
  int fd_ = -1;
};

TEST(Observe, ReadyOnlyOnceEveryLineTakesClientsThenWatchdogAndStopping) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  PtyDevice com2("com2", Play::kEcho);
  MissingDevice("com3");  // waits for its device; does not hold readiness back
  Settings s;
  const int control = FreeTcpPort();
  s.control = std::to_string(control);
  int ports[4] = {0, FreeTcpPort(), FreeTcpPort(), FreeTcpPort()};
  for (int L = 1; L <= 3; ++L) {
    s.tcp[L] = std::to_string(ports[L]);
    s.serial[L] = "com" + std::to_string(L);
  }
  dir.WriteFile("qmx.txt", s.Text());

  NotifySocket manager;
  ServerProcess server({}, {manager.Variable(), "WATCHDOG_USEC=400000"});
  // Nothing in between: the lines must take clients the moment READY comes.
  ASSERT_EQ(manager.Await("READY=1"), "READY=1") << server.Stderr();
  for (int port : {control, ports[1], ports[2]}) {
    TcpClient client(port);
    EXPECT_TRUE(client.connected()) << port;
  }
  // The clients just gone may still be counted: a client that closed shows
  // its end only once something is sent to it.
  EXPECT_TRUE(std::regex_match(
      manager.Await("STATUS="),
      std::regex("STATUS=2 lines, [0-9]+ clients?, 1 port waiting for its device")));
  // A quarter of WatchdogSec: several beats within a second.
  EXPECT_EQ(manager.Await("WATCHDOG=1"), "WATCHDOG=1");
  EXPECT_EQ(manager.Await("WATCHDOG=1"), "WATCHDOG=1");
  ::kill(server.pid(), SIGTERM);
  EXPECT_EQ(manager.Await("STOPPING=1"), "STOPPING=1");
  EXPECT_EQ(server.WaitExit(), 0);
}

// A reload tells the manager it began, with the monotonic time it began at,
// and that the server is ready again.
TEST(Observe, AReloadIsAnnouncedWithItsStartAndEndsReady) {
  ScratchDir dir;
  Settings s;
  s.control = std::to_string(FreeTcpPort());
  dir.WriteFile("qmx.txt", s.Text());
  NotifySocket manager;
  ServerProcess server({}, {manager.Variable()});
  ASSERT_EQ(manager.Await("READY=1"), "READY=1") << server.Stderr();
  ::kill(server.pid(), SIGHUP);
  const std::string reloading = manager.Await("RELOADING=1");
  std::smatch time;
  ASSERT_TRUE(std::regex_match(reloading, time,
                               std::regex("RELOADING=1\nMONOTONIC_USEC=([0-9]+)")))
      << reloading;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_LE(std::stoll(time[1].str()), now.tv_sec * 1000000LL + now.tv_nsec / 1000);
  EXPECT_EQ(manager.Await("READY=1"), "READY=1");
  EXPECT_EQ(server.Terminate(), 0);
}

// The body of an HTTP response from `port` to GET `path`, "" on failure.
std::string HttpGet(int port, const std::string& path, std::string* head = nullptr) {
  TcpClient client(port);
  if (!client.connected()) return "";
  client.Send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const std::string response = client.ReadWhile([](const std::string&) { return true; });
  const size_t blank = response.find("\r\n\r\n");
  if (blank == std::string::npos) return "";
  if (head != nullptr) *head = response.substr(0, blank);
  return response.substr(blank + 4);
}

// What promtool says of a metrics page: "" when it accepts it.
std::string PromtoolProblems(const std::string& page) {
  const std::string file = "metrics.txt";
  {
    FILE* out = std::fopen(file.c_str(), "w");
    std::fwrite(page.data(), 1, page.size(), out);
    std::fclose(out);
  }
  FILE* check = ::popen(("promtool check metrics < " + file + " 2>&1").c_str(), "r");
  if (check == nullptr) return "promtool did not run";
  std::string said;
  char buffer[512];
  while (size_t n = std::fread(buffer, 1, sizeof(buffer), check)) said.append(buffer, n);
  const int status = ::pclose(check);
  return status == 0 ? "" : "promtool: " + said;
}

TEST(Observe, MetricsPageCountsTheBytesAndTheLogNamesTheClient) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  Settings s;
  const int control = FreeTcpPort();
  const int data = FreeTcpPort();
  const int metrics = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(data);
  s.serial[1] = "com1";
  dir.WriteFile("qmx.txt", s.Text());
  // Standard error as the journal's stream: each line carries its priority.
  dir.WriteFile("qmxd.stderr", "");
  struct stat info {};
  ASSERT_EQ(::stat("qmxd.stderr", &info), 0);
  const std::string journal =
      "JOURNAL_STREAM=" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);

  ServerProcess server({"--metrics", "127.0.0.1:" + std::to_string(metrics), "--allow",
                        "10.0.0.0/8", "--control-allow", "127.0.0.1"},
                       {journal});
  ASSERT_TRUE(WaitFor([&] { return Listening(metrics) && Listening(control); }));
  {
    TcpClient refused(data);  // outside --allow: turned away, and counted
    EXPECT_TRUE(refused.WaitClosed());
  }
  std::string head;
  std::string page;
  EXPECT_TRUE(WaitFor([&] {
    page = HttpGet(metrics, "/metrics", &head);
    return page.find("qmx_line_connections_total{line=\"1\",result=\"refused\"} 1\n") !=
           std::string::npos;
  })) << page;
  EXPECT_NE(head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos)
      << head;
  EXPECT_EQ(PromtoolProblems(page), "");
  // A pseudo-terminal keeps no line counters: no series rather than zeros.
  EXPECT_EQ(page.find("qmx_port_line_errors_total"), std::string::npos);
  EXPECT_NE(page.find("qmx_port_open{port=\"com1\"} 1\n"), std::string::npos) << page;

  const std::string log = server.Stderr();
  EXPECT_TRUE(std::regex_search(
      log, std::regex("(^|\n)<4>qmxd: [^\n]*refused[^\n]*127\\.0\\.0\\.1")))
      << log;
  EXPECT_TRUE(std::regex_search(log, std::regex("(^|\n)<6>qmxd: serving"))) << log;
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(Observe, TheLogShowsEachClientWithItsBytesAndTime) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  Settings s;
  const int control = FreeTcpPort();
  const int data = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(data);
  s.serial[1] = "com1";
  dir.WriteFile("qmx.txt", s.Text());

  ServerProcess server;
  ControlClient c(control);
  {
    TcpClient client(data);
    client.Send("echo me");
    EXPECT_EQ(client.ReadCount(7), "echo me");
  }
  const std::string time = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z qmxd: ";
  const std::string port = "TCP port " + std::to_string(data) + ": 127\\.0\\.0\\.1 ";
  EXPECT_TRUE(
      std::regex_search(server.Stderr(), std::regex(time + port + "connected\n")));
  EXPECT_EQ(c.Command("status com1").substr(0, 3), "200");
  EXPECT_TRUE(WaitFor([&] {
    return std::regex_search(server.Stderr(),
                             std::regex(time + "TCP port " + std::to_string(control) +
                                        ": 127\\.0\\.0\\.1: status com1 -> 200\n"));
  })) << server.Stderr();
  // A client that closed shows its end once something is sent to it, or, as
  // here, when its line closes.
  EXPECT_EQ(server.Terminate(), 0);
  EXPECT_TRUE(std::regex_search(
      server.Stderr(),
      std::regex(time + port +
                 "disconnected \\(the line closed\\), 7 bytes from it, 7 bytes to it\n")))
      << server.Stderr();
}

}  // namespace
}  // namespace qmx::test
