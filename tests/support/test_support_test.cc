// The shared test support itself: the pseudo-terminal device's links and
// players, and the free-port helper, whose faults would show only as flaky
// tests elsewhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "testsupport/free_port.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
#include "testsupport/tcp_client.h"
#include "testsupport/wait_for.h"

namespace qmx::testsupport {
namespace {

namespace fs = std::filesystem;
using Play = PtyDevice::Play;

std::string LinkTarget(const std::string& link) {
  std::error_code ec;
  return fs::read_symlink(link, ec).string();
}

TEST(PtyDeviceTest, LinksReplaceOnlyLinksAndGoOnlyWhileTheyAreTheirs) {
  const fs::path before = fs::current_path();
  {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok());
    EXPECT_EQ(fs::current_path(), fs::path(dir.path()));

    ASSERT_TRUE(dir.WriteFile("plain", "a file, not a link"));
    PtyDevice refused("plain");
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(dir.ReadFile("plain"), "a file, not a link");

    ASSERT_TRUE(LinkMissingDevice("com1"));
    auto first = std::make_unique<PtyDevice>("com1");
    ASSERT_TRUE(first->ok()) << first->error();
    EXPECT_EQ(LinkTarget("com1"), first->devicePath());

    // Pulled and plugged in again: the successor takes the name, and the
    // one that went leaves the successor's link alone.
    first->Hangup();
    PtyDevice second("com1");
    ASSERT_TRUE(second.ok());
    first.reset();
    EXPECT_EQ(LinkTarget("com1"), second.devicePath());
  }
  EXPECT_EQ(fs::current_path(), before);
}

TEST(PtyDeviceTest, EchoPlugAnswersInOrderAndHangupReachesTheServerSide) {
  ScratchDir dir;
  PtyDevice echo("com1", Play::kEcho);
  ASSERT_TRUE(echo.ok()) << echo.error();
  const int port = ::open("com1", O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  std::string sent;
  for (int i = 0; i < 256; ++i) sent += static_cast<char>(i);  // raw: CR, LF, ^C kept
  ASSERT_EQ(::write(port, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
  std::string got;
  char buffer[512];
  pollfd ready{port, POLLIN, 0};
  while (got.size() < sent.size() && ::poll(&ready, 1, 10000) == 1) {
    const ssize_t n = ::read(port, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, sent);
  // Counted just after the bytes went out, so possibly after they arrived.
  EXPECT_TRUE(WaitFor([&] { return echo.echoed() == sent.size(); }));
  EXPECT_EQ(echo.fault(), "");

  echo.Hangup();  // the device is gone: the port hangs up
  pollfd gone{port, POLLIN, 0};
  ASSERT_EQ(::poll(&gone, 1, 10000), 1);
  EXPECT_NE(gone.revents & POLLHUP, 0);
  ::close(port);

  // Without a held slave, the server's close shows on the device side.
  PtyDevice played("com2", Play::kSelf, /*holdSlave=*/false);
  const int other = ::open("com2", O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::write(other, "hi", 2), 2);
  EXPECT_EQ(played.Read(2), "hi");
  ::close(other);
  EXPECT_TRUE(played.WaitHangup());
}

TEST(FreeTcpPortTest, HandsOutDistinctPortsThatAServerCanTakeOnAnyAddress) {
  std::set<int> seen;
  for (int i = 0; i < 20; ++i) {
    const int port = FreeTcpPort();
    ASSERT_GT(port, 0);
    EXPECT_TRUE(seen.insert(port).second) << port;
    EXPECT_FALSE(Listening(port));
  }
  const int port = *seen.begin();
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  EXPECT_TRUE(Listening(port));
  TcpClient client(port);
  EXPECT_TRUE(client.connected());
  ::close(fd);
}

}  // namespace
}  // namespace qmx::testsupport
