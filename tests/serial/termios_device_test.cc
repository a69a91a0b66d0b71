// The termios device and its opener against real pseudo-terminals: the
// opener opens the slave side through a link "com1" in a scratch working
// directory; the test plays the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <string>

#include "serial/device.h"
#include "serial_test_util.h"

namespace qmx {
namespace {

using namespace testing;

// Waits a bounded time for the device's handle to show input or a hang-up.
bool Readable(const SerialDevice& device) {
  pollfd p{device.WaitHandle(), POLLIN, 0};
  return ::poll(&p, 1, 10000) == 1;
}

std::string ReadFor(SerialDevice& device, size_t count) {
  std::string got;
  uint8_t buffer[256];
  while (got.size() < count && Readable(device)) {
    const DeviceIo io = device.Read(buffer);
    if (io.kind == DeviceIo::Kind::kGone) break;
    got.append(buffer, buffer + io.count);
  }
  return got;
}

DeviceIo Write(SerialDevice& device, std::string_view text) {
  return device.WriteNow({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

speed_t OutputSpeed(int fd) {
  termios t{};
  ::tcgetattr(fd, &t);
  return ::cfgetospeed(&t);
}

class TermiosDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    ASSERT_TRUE(pty_.ok()) << pty_.error();
  }

  std::unique_ptr<SerialDevice> Open(const std::string& path, DeviceOpenResult* result,
                                     int baud = 9600) {
    LineSettings settings;
    settings.baud = baud;
    return opener_->Open(path, settings, FlowControl::kNone, result);
  }

  ScratchDir scratch_;  // the working directory, where the links are
  PtyDevice pty_{"com1"};
  std::unique_ptr<DeviceOpener> opener_ = MakeTermiosOpener(AT_FDCWD);
};

TEST_F(TermiosDeviceTest, OpensALinkedNameWithItsSettingsAndMovesBytesBothWays) {
  DeviceOpenResult result;
  auto device = Open("com1", &result, 19200);
  ASSERT_NE(device, nullptr) << result.error;
  EXPECT_EQ(result.status, DeviceOpenStatus::kOpen);
  EXPECT_EQ(result.path, "com1");
  EXPECT_EQ(OutputSpeed(pty_.slave()), B19200);
  LineSettings faster;
  faster.baud = 38400;
  ASSERT_TRUE(device->Configure(faster, FlowControl::kNone));
  EXPECT_EQ(OutputSpeed(pty_.slave()), B38400);

  uint8_t buffer[16];
  EXPECT_EQ(device->Read(buffer).kind, DeviceIo::Kind::kWouldBlock);
  ASSERT_TRUE(pty_.Write("from the device"));
  EXPECT_EQ(ReadFor(*device, 15), "from the device");

  const DeviceIo written = Write(*device, "to the device");
  EXPECT_EQ(written.kind, DeviceIo::Kind::kDone);
  EXPECT_EQ(written.count, 13u);
  EXPECT_EQ(pty_.Read(13), "to the device");
}

TEST_F(TermiosDeviceTest, ASecondOpenIsBusyUntilTheFirstDeviceIsDestroyed) {
  DeviceOpenResult result;
  auto first = Open("com1", &result);
  ASSERT_NE(first, nullptr);
  // By the link or by the device's own path: the device is held, not the name.
  for (const std::string& path : {std::string("com1"), pty_.devicePath()}) {
    EXPECT_EQ(Open(path, &result), nullptr);
    EXPECT_EQ(result.status, DeviceOpenStatus::kBusy) << path;
    EXPECT_TRUE(result.error == EWOULDBLOCK || result.error == EBUSY) << result.error;
  }
  first.reset();
  EXPECT_NE(Open("com1", &result), nullptr);
}

TEST_F(TermiosDeviceTest, NamesThatDoNotOpenSayWhy) {
  DeviceOpenResult result;
  EXPECT_EQ(Open("com9", &result), nullptr);
  EXPECT_EQ(result.status, DeviceOpenStatus::kAbsent);
  EXPECT_EQ(result.error, ENOENT);
  EXPECT_EQ(result.path, "com9");

  ASSERT_TRUE(testsupport::LinkMissingDevice("com8"));
  EXPECT_EQ(Open("com8", &result), nullptr);
  EXPECT_EQ(result.status, DeviceOpenStatus::kAbsent);

  // A file is not a terminal: it takes no line settings, and the refused open
  // leaves it unlocked, so the next attempt is refused for the same reason.
  ASSERT_TRUE(scratch_.WriteFile("plain", "text"));
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(Open("plain", &result), nullptr);
    EXPECT_EQ(result.status, DeviceOpenStatus::kBadSettings);
    EXPECT_EQ(result.error, ENOTTY);
  }
}

TEST_F(TermiosDeviceTest, AHungUpDeviceWakesItsOwnerAndIsGone) {
  DeviceOpenResult result;
  auto device = Open("com1", &result);
  ASSERT_NE(device, nullptr);
  pty_.Hangup();
  ASSERT_TRUE(Readable(*device));
  uint8_t buffer[16];
  EXPECT_EQ(device->Read(buffer).kind, DeviceIo::Kind::kGone);
  EXPECT_EQ(Write(*device, "lost").kind, DeviceIo::Kind::kGone);
}

TEST_F(TermiosDeviceTest, NamesResolveInTheOpenersFolder) {
  ASSERT_EQ(::mkdir("other", 0700), 0);
  PtyDevice other("other/com1");
  ASSERT_TRUE(other.ok()) << other.error();
  const int folder = ::open("other", O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  auto folderOpener = MakeTermiosOpener(folder);

  DeviceOpenResult result;
  auto device = folderOpener->Open("com1", LineSettings{}, FlowControl::kNone, &result);
  ASSERT_NE(device, nullptr) << result.error;
  ASSERT_EQ(Write(*device, "x").count, 1u);
  EXPECT_EQ(other.Read(1), "x");
  // The working directory's com1 is another device, still free.
  EXPECT_NE(Open("com1", &result), nullptr);
  device.reset();
  ::close(folder);
}

TEST_F(TermiosDeviceTest, APseudoTerminalTakesLineRequestsAndPurgesInput) {
  DeviceOpenResult result;
  auto device = Open("com1", &result);
  ASSERT_NE(device, nullptr);
  // It has no modem lines and keeps no counters, but refuses nothing.
  EXPECT_TRUE(device->SetRts(false));
  EXPECT_TRUE(device->SetRts(true));
  EXPECT_TRUE(device->SetBreak(true));
  EXPECT_TRUE(device->SetBreak(false));
  ModemLines lines;
  lines.cts = true;
  EXPECT_FALSE(device->ReadModemLines(&lines));
  EXPECT_FALSE(lines.cts);
  ErrorCounters counters;
  EXPECT_FALSE(device->ReadLineCounters(&counters));

  ASSERT_TRUE(pty_.Write("stale"));
  ASSERT_TRUE(Readable(*device));
  device->Purge(true, false);
  uint8_t buffer[16];
  EXPECT_EQ(device->Read(buffer).kind, DeviceIo::Kind::kWouldBlock);
}

}  // namespace
}  // namespace qmx
