// qmxd on SIGHUP: it reads qmx.txt again and applies what changed in the
// file, and only that, while the other lines go on relaying; a save after a
// hand edit keeps the edited file as qmx.txt~.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "harness.h"

namespace qmx::test {
namespace {

// How many reloads qmxd has finished: each ends with one line that starts
// so (applied, unchanged, or not applied).
int ReloadsDone(const ServerProcess& server) {
  const std::string log = server.Stderr();
  int count = 0;
  for (size_t at = log.find("reload: qmx.txt "); at != std::string::npos;
       at = log.find("reload: qmx.txt ", at + 1))
    ++count;
  return count;
}

// Sends SIGHUP and waits until that reload is done.
bool Reload(ServerProcess& server) {
  const int before = ReloadsDone(server);
  if (::kill(server.pid(), SIGHUP) != 0) return false;
  return WaitFor([&] { return ReloadsDone(server) > before; });
}

bool Logged(const ServerProcess& server, const std::string& text) {
  return server.Stderr().find(text) != std::string::npos;
}

// The server's threads: a port that is closed and opened again gets a new
// receive thread, a line that listens again a new accept thread.
std::set<std::string> Threads(pid_t pid) {
  std::set<std::string> ids;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (const dirent* entry = ::readdir(d)) {
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    }
    ::closedir(d);
  }
  return ids;
}

size_t Gone(const std::set<std::string>& before, const std::set<std::string>& after) {
  size_t gone = 0;
  for (const std::string& id : before) gone += after.count(id) == 0 ? 1 : 0;
  return gone;
}

// A client that streams a counting pattern to an echo device through its
// data line on a thread of its own, and checks every byte that comes back:
// one lost or doubled byte shifts the pattern.
class Streamer {
 public:
  explicit Streamer(int port) : client_(port) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Streamer() { Finish(); }
  uint64_t received() const { return received_.load(); }
  // Stops sending and waits until everything sent came back (or 10 s).
  void Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  uint64_t sent() const { return sent_; }
  uint64_t wrong() const { return wrong_; }
  bool failed() const { return failed_; }

 private:
  static char At(uint64_t i) { return static_cast<char>(i % 251); }
  void Run() {
    char buffer[8192];
    auto deadline = std::chrono::steady_clock::time_point::max();
    while (received_.load() < sent_ || !stop_) {
      if (stop_ && deadline == std::chrono::steady_clock::time_point::max())
        deadline = std::chrono::steady_clock::now() + 10s;
      if (std::chrono::steady_clock::now() > deadline) return;
      pollfd p{client_.fd(), static_cast<short>(POLLIN | (stop_ ? 0 : POLLOUT)), 0};
      if (::poll(&p, 1, 100) < 0) return;
      if ((p.revents & POLLOUT) != 0 && !stop_) {
        for (size_t i = 0; i < sizeof(buffer); ++i) buffer[i] = At(sent_ + i);
        const ssize_t n = ::send(client_.fd(), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n > 0) sent_ += static_cast<uint64_t>(n);
      }
      if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = ::recv(client_.fd(), buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n <= 0) {
          failed_ = n == 0 || (errno != EAGAIN && errno != EINTR);
          if (failed_) return;
          continue;
        }
        const uint64_t from = received_.load();
        for (ssize_t i = 0; i < n; ++i) wrong_ += buffer[i] != At(from + i) ? 1 : 0;
        received_.store(from + static_cast<uint64_t>(n));
      }
    }
  }

  TcpClient client_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> received_{0};
  uint64_t sent_ = 0;   // the thread's until it is joined
  uint64_t wrong_ = 0;  // likewise
  bool failed_ = false;
};

TEST(Reload, ATcpPortMovesWithoutClosingItsDeviceWhileAnotherLineStreams) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  PtyDevice com2("com2", Play::kEcho);
  Settings s;
  const int control = FreeTcpPort();
  const int moving = FreeTcpPort();
  const int streaming = FreeTcpPort();
  const int target = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(moving);
  s.serial[1] = "com1";
  s.tcp[2] = std::to_string(streaming);
  s.serial[2] = "com2";
  dir.WriteFile("qmx.txt", s.Text());
  ServerProcess server;
  ControlClient c(control);
  TcpClient old(moving);
  old.Send("before");
  EXPECT_EQ(old.ReadCount(6), "before");

  Streamer stream(streaming);
  ASSERT_TRUE(WaitFor([&] { return stream.received() > 100000; }));
  const std::set<std::string> threads = Threads(server.pid());
  s.tcp[1] = std::to_string(target);
  dir.WriteFile("qmx.txt", s.Text());
  ASSERT_TRUE(Reload(server)) << server.Stderr();
  const uint64_t atReload = stream.received();
  EXPECT_TRUE(Logged(server, "reload: TCP port of data line 1 " + std::to_string(moving) +
                                 " -> " + std::to_string(target)))
      << server.Stderr();
  EXPECT_TRUE(Logged(server, "reload: qmx.txt applied, 1 change")) << server.Stderr();

  // The line listens on its new port alone, its old client is let go, and
  // the device is the same one: only the line's accept thread was replaced.
  EXPECT_TRUE(old.WaitClosed());
  EXPECT_FALSE(Listening(moving));
  TcpClient moved(target);
  moved.Send("after");
  EXPECT_EQ(moved.ReadCount(5), "after");
  EXPECT_EQ(Gone(threads, Threads(server.pid())), 1u);

  // The other line streamed on through the reload, every byte once.
  EXPECT_TRUE(WaitFor([&] { return stream.received() > atReload + 100000; }));
  stream.Finish();
  EXPECT_FALSE(stream.failed());
  EXPECT_EQ(stream.received(), stream.sent());
  EXPECT_EQ(stream.wrong(), 0u);
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(Reload, RunningSettingsSurviveAnUnchangedFileAndAChangedPortIsSetUpInPlace) {
  ScratchDir dir;
  PtyDevice com1("com1", Play::kEcho);
  PtyDevice com2("com2", Play::kEcho);
  Settings s;
  const int control = FreeTcpPort();
  const int line2 = FreeTcpPort();
  s.control = std::to_string(control);
  s.tcp[1] = std::to_string(FreeTcpPort());  // com1 comes with `open`
  s.tcp[2] = std::to_string(line2);
  s.serial[2] = "com2";
  dir.WriteFile("qmx.txt", s.Text());
  ServerProcess server;
  ControlClient c(control);
  EXPECT_EQ(c.Command("open com1,19200,n,8,1,n").substr(0, 3), "200");

  ASSERT_TRUE(Reload(server));
  EXPECT_TRUE(Logged(server, "reload: qmx.txt has not changed")) << server.Stderr();
  EXPECT_NE(c.Command("status com1").find("opened by 19200,n,8,1,n"), std::string::npos);

  TcpClient client(line2);
  client.Send("one");
  EXPECT_EQ(client.ReadCount(3), "one");
  const std::set<std::string> threads = Threads(server.pid());
  s.com[1] = "com2,38400,e,7,1,n";
  dir.WriteFile("qmx.txt", s.Text());
  ASSERT_TRUE(Reload(server));
  EXPECT_TRUE(Logged(server,
                     "reload: serial port 2 com2,9600,n,8,1,n -> com2,38400,e,7,1,n: set "
                     "up again in place"))
      << server.Stderr();
  EXPECT_NE(c.Command("status com2").find("opened by 38400,e,7,1,n"), std::string::npos);
  // The rate reached the device (a pseudo-terminal keeps it; it forces 8
  // data bits without parity whatever it is told).
  termios applied{};
  ASSERT_EQ(::tcgetattr(com2.slave(), &applied), 0);
  EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B38400));
  // Not closed: no thread went, and the client relays on.
  EXPECT_EQ(Gone(threads, Threads(server.pid())), 0u);
  client.Send("two");
  EXPECT_EQ(client.ReadCount(3), "two");
  EXPECT_NE(c.Command("status com1").find("opened by 19200,n,8,1,n"), std::string::npos);
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(Reload, AFileThatCannotBeReadOrThatTheCheckFaultsChangesNothing) {
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
  TcpClient client(data);

  Settings bad = s;
  bad.tcp[1] = "80x1";
  bad.tcp[2] = std::to_string(FreeTcpPort());
  bad.serial[2] = "com2";
  dir.WriteFile("qmx.txt", bad.Text());
  ASSERT_TRUE(Reload(server));
  EXPECT_TRUE(
      Logged(server, "reload: qmx.txt:3: TCP port 80x1 open failure: not a TCP port"))
      << server.Stderr();
  EXPECT_TRUE(Logged(server, "reload: qmx.txt not applied; nothing changed"));

  std::filesystem::remove("qmx.txt");
  ASSERT_TRUE(Reload(server));
  EXPECT_TRUE(Logged(server, "reload: cannot read qmx.txt: No such file or directory"))
      << server.Stderr();

  // The line, its client and the control line are as they were.
  EXPECT_EQ(
      c.Command("status").find("1:" + std::to_string(data) + "-com1 OK\r\n2:unused"),
      std::string("200 Status is:\r\n").size());
  client.Send("still");
  EXPECT_EQ(client.ReadCount(5), "still");
  EXPECT_EQ(server.Terminate(), 0);
}

TEST(Reload, SaveKeepsAHandEditedFileAsBackupAndOnlyThen) {
  ScratchDir dir;
  Settings s;
  const int control = FreeTcpPort();
  s.control = std::to_string(control);
  dir.WriteFile("qmx.txt", s.Text());
  ServerProcess server;
  ControlClient c(control);
  EXPECT_EQ(c.Command("save"), "200 saved setup\r\n");
  EXPECT_FALSE(std::filesystem::exists("qmx.txt~"));

  Settings edited = s;
  edited.first = "edited by hand\r\n";
  dir.WriteFile("qmx.txt", edited.Text());
  EXPECT_EQ(c.Command("save"), "200 saved setup\r\n");
  EXPECT_EQ(dir.ReadFile("qmx.txt~"), edited.Text());
  EXPECT_NE(dir.ReadFile("qmx.txt"), edited.Text());  // what the server runs
  EXPECT_TRUE(Logged(server, "kept as qmx.txt~")) << server.Stderr();

  // A file the server read again is no hand edit any more.
  std::filesystem::remove("qmx.txt~");
  dir.WriteFile("qmx.txt", edited.Text());
  ASSERT_TRUE(Reload(server));
  EXPECT_EQ(c.Command("save"), "200 saved setup\r\n");
  EXPECT_FALSE(std::filesystem::exists("qmx.txt~"));
  EXPECT_EQ(dir.ReadFile("qmx.txt").substr(0, 16), "edited by hand\r\n");
  EXPECT_EQ(server.Terminate(), 0);
}

}  // namespace
}  // namespace qmx::test
