// The driver against real pseudo-terminals: the port opens the slave side
// through a link "com1" in a scratch working directory; the test plays the
// device on the master side.
#include "serial/rs_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "engine/line_table.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "serial_test_util.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

using namespace testing;

void SetPort(int n, const char* name, const char* definition, const char* flow = "n") {
  CopyField(Ports().rsPorts[n].name, name);
  CopyField(Ports().rsPorts[n].definition, definition);
  CopyField(Ports().rsPorts[n].flow, flow);
}

bool Closed(int n) {
  return Ports().rsPorts[n].handle == -1 && !Ports().rsPorts[n].readThread.joinable() &&
         Ports().rsPorts[n].running == 0;
}

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The slave stays held open all along, like a tool that keeps the device.
    device_ = std::make_unique<PtyDevice>("com1");
    ASSERT_TRUE(device_->ok()) << device_->error();
    master_ = device_->master();
    slave_ = device_->slave();
    slavePath_ = device_->devicePath();
    Table().wakeEvent.Open();
    Ports().RsBindInput(0, &Table().rxQueue[0], &Table().wakeEvent);
    Table().rxQueue[0].Free();
    Table().rxQueue[0].Allocate(5000);
    SetPort(0, "com1", "9600,n,8,1");
    SetTraceSink([this](std::string_view message) {
      std::unique_lock lock(mutex_);
      traces_.emplace_back(message);
      // Lets a test hold the receive thread right after a given trace.
      released_.wait_for(lock, 10s,
                         [&] { return holdAfter_.empty() || holdAfter_ != message; });
    });
  }
  void TearDown() override {
    Hold("");
    Ports().RsClose(0);
    Ports().RsClose(1);
    Ports().RsForgetDevice(0);
    Ports().RsForgetDevice(1);
    SetTraceSink({});
    device_.reset();
  }

  bool Traced(std::string_view text) {
    std::lock_guard lock(mutex_);
    return std::find(traces_.begin(), traces_.end(), text) != traces_.end();
  }
  size_t TraceCount() {
    std::lock_guard lock(mutex_);
    return traces_.size();
  }
  void Hold(std::string text) {
    std::lock_guard lock(mutex_);
    holdAfter_ = std::move(text);
    released_.notify_all();
  }

  // Takes `count` bytes from rxQueue[0], a few at a time, as a consumer would.
  Bytes Take(size_t count, size_t piece = 4096) {
    Bytes got(count);
    size_t have = 0;
    WaitFor(
        [&] {
          size_t n = Table().rxQueue[0].GetSome(
              std::span(got).subspan(have, std::min(piece, count - have)));
          if (n == 0) Table().wakeEvent.Wait(20ms);
          return (have += n) == count;
        },
        60s);
    got.resize(have);
    return got;
  }

  ScratchDir scratch_;
  std::unique_ptr<PtyDevice> device_;
  int master_ = -1;  // the device's, non-blocking
  int slave_ = -1;
  std::string slavePath_;
  std::mutex mutex_;
  std::condition_variable released_;
  std::vector<std::string> traces_;
  std::string holdAfter_;
};

TEST_F(SerialPortTest, OpenConfiguresTheDeviceAndCloseReleasesItForAReopen) {
  ASSERT_EQ(::symlink(slavePath_.c_str(), "com2"), 0);
  SetPort(0, "com2", "9600,n,8,1", "x");
  ASSERT_EQ(Ports().RsOpen(0), 1);
  EXPECT_TRUE(Ports().rsPorts[0].readThread.joinable());
  EXPECT_EQ(Ports().rsPorts[0].running, 1);
  EXPECT_TRUE(Traced("9600,n,8,1"));
  EXPECT_TRUE(Traced("com2 baud=9600 parity=0 data=8 stop=1\n"));
  EXPECT_TRUE(Traced("RsOpen OK\r\n"));
  termios device{};
  ASSERT_EQ(::tcgetattr(slave_, &device), 0);
  EXPECT_EQ(device.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(device.c_oflag & OPOST, 0u);
  EXPECT_EQ(device.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t{IXON | IXOFF});

  Bytes values(256);  // CR, LF and Ctrl-C among them, none translated or echoed
  for (int i = 0; i < 256; ++i)
    values[i] = static_cast<uint8_t>(i == 0x11 || i == 0x13 ? 0 : i);
  ASSERT_TRUE(WriteAll(master_, values));
  EXPECT_EQ(Take(256), values);
  EXPECT_EQ(Ports().rsError[0], 0u);
  ASSERT_TRUE(WriteToPort(0, values));
  EXPECT_EQ(ReadFor(master_, 256), values);

  Ports().RsClose(0);
  EXPECT_TRUE(Closed(0));
  EXPECT_TRUE(Traced("com close OK\n"));
  const size_t traces = TraceCount();
  Ports().RsClose(0);  // closed already: nothing happens
  EXPECT_EQ(TraceCount(), traces);

  SetPort(0, "com1", "19200,e,7,2", "h");
  ASSERT_EQ(Ports().RsOpen(0), 1);  // at once, on the same device
  EXPECT_TRUE(Traced("com1 baud=19200 parity=2 data=7 stop=2\n"));
}

TEST_F(SerialPortTest, FailedOpensLeaveThePortClosed) {
  EXPECT_EQ(RsDevicePath(AT_FDCWD, "com1"), "com1");  // the link here wins
  EXPECT_EQ(RsDevicePath(AT_FDCWD, "com3"), "/dev/ttyS2");
  EXPECT_EQ(RsDevicePath(AT_FDCWD, "com0"), "com0");
  SetPort(0, "nosuchport", "9600,n,8,1");
  EXPECT_EQ(Ports().RsOpen(0), 0);
  EXPECT_TRUE(Traced("failed to open com file\n"));
  EXPECT_TRUE(Closed(0));
  SetPort(0, "com1", "9600,n,8");
  EXPECT_EQ(Ports().RsOpen(0), 0);
  EXPECT_TRUE(Traced("failed RsSetupConnection()\n"));
  EXPECT_TRUE(Closed(0));

  SetPort(0, "com1", "9600,n,8,1");
  ASSERT_EQ(Ports().RsOpen(0), 1);  // the failed open let the device go
  SetPort(1, "com1", "9600,n,8,1");
  EXPECT_EQ(Ports().RsOpen(1), 0);  // in use by this process
  EXPECT_TRUE(Closed(1));
  Ports().RsClose(0);

  int locked[2], release[2];
  ASSERT_EQ(::pipe(locked), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {  // another process takes the device's lock
    ::close(release[1]);
    const int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    (void)!::write(locked[1], fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? "L" : "E", 1);
    char done;
    (void)!::read(release[0], &done, 1);
    ::_exit(0);
  }
  ::close(release[0]);
  EXPECT_EQ(ReadFor(locked[0], 1), Bytes{'L'});
  EXPECT_EQ(Ports().RsOpen(0), 0);
  EXPECT_TRUE(Closed(0));
  ::close(release[1]);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  ::close(locked[0]);
  ::close(locked[1]);
  EXPECT_EQ(Ports().RsOpen(0), 1);
}

TEST_F(SerialPortTest, AStandardRateReachesTheDeviceAsItsConstant) {
  termios device{};
  ASSERT_EQ(Ports().RsOpen(0), 1);  // 9600
  ASSERT_EQ(::tcgetattr(slave_, &device), 0);
  EXPECT_EQ(::cfgetospeed(&device), speed_t{B9600});
  EXPECT_EQ(::cfgetispeed(&device), speed_t{B9600});
  Ports().RsClose(0);

  SetPort(0, "com1", "14400,n,8,1");  // no constant for it: the custom code
  ASSERT_EQ(Ports().RsOpen(0), 1);
  ASSERT_EQ(::tcgetattr(slave_, &device), 0);
  EXPECT_EQ(device.c_cflag & CBAUD, tcflag_t{CBAUDEX});
  Ports().RsClose(0);

  SetPort(0, "com1", "115200,n,8,1");  // and back, the custom code gone
  ASSERT_EQ(Ports().RsOpen(0), 1);
  ASSERT_EQ(::tcgetattr(slave_, &device), 0);
  EXPECT_EQ(::cfgetospeed(&device), speed_t{B115200});
}

// The names use a port number no machine has, so a fallback shows as
// /dev/ttyS9998 and fails as absent without a real port being opened.
TEST_F(SerialPortTest, ANameOpenedThroughALinkWaitsForItAndNeverFallsBack) {
  ASSERT_EQ(::symlink(slavePath_.c_str(), "com9999"), 0);
  SetPort(0, "com9999", "9600,n,8,1");
  ASSERT_EQ(Ports().RsOpen(0), 1);
  EXPECT_EQ(Ports().RsOpenPath(0), "com9999");
  Ports().RsClose(0);  // the device was lost: the memory stays

  ASSERT_EQ(::unlink("com9999"), 0);  // its link went with it
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The owner empties the record between attempts and fills it again.
    ClearField(Ports().rsPorts[0].name);
    SetPort(0, "com9999", "9600,n,8,1");
    EXPECT_EQ(Ports().RsOpen(0), 0);
    EXPECT_EQ(Ports().rsPorts[0].openError, ENOENT);
    EXPECT_TRUE(Ports().RsDeviceAbsent(0));
    EXPECT_EQ(Ports().RsOpenPath(0), "com9999");
    EXPECT_TRUE(Closed(0));
  }
  // A port that never opened the name, and the same port under another name,
  // resolve as before.
  SetPort(1, "com9999", "9600,n,8,1");
  EXPECT_EQ(Ports().RsOpen(1), 0);
  EXPECT_TRUE(Ports().RsDeviceAbsent(1));
  EXPECT_EQ(Ports().RsOpenPath(1), "/dev/ttyS9998");
  SetPort(0, "com9998", "9600,n,8,1");
  EXPECT_EQ(Ports().RsOpen(0), 0);
  EXPECT_EQ(Ports().RsOpenPath(0), "/dev/ttyS9997");

  SetPort(0, "com9999", "9600,n,8,1");
  ASSERT_EQ(::symlink(slavePath_.c_str(), "com9999"), 0);  // the device is back
  ASSERT_EQ(Ports().RsOpen(0), 1);
  EXPECT_EQ(Ports().RsOpenPath(0), "com9999");
  Ports().RsClose(0);

  ASSERT_EQ(::unlink("com9999"), 0);
  Ports().RsForgetDevice(0);  // closed on purpose: the name resolves afresh
  EXPECT_EQ(Ports().RsOpen(0), 0);
  EXPECT_TRUE(Ports().RsDeviceAbsent(0));
  EXPECT_EQ(Ports().RsOpenPath(0), "/dev/ttyS9998");
}

TEST_F(SerialPortTest, ReadsWhatWaitsInOneRead) {
  ASSERT_EQ(Ports().RsOpen(0), 1);
  // Hold the receive thread after one byte, so that 1200 bytes are waiting
  // when it next looks.
  Hold("\n1 bytes read");
  ASSERT_TRUE(WriteAll(master_, {0xAA}));
  ASSERT_TRUE(WaitFor([&] { return Traced("\n1 bytes read"); }));
  const Bytes burst = Pattern(1200);
  ASSERT_TRUE(WriteAll(master_, burst));
  ASSERT_TRUE(WaitFor([&] {
    int waiting = 0;
    return ::ioctl(Ports().rsPorts[0].handle, FIONREAD, &waiting) == 0 && waiting == 1200;
  }));
  Hold("");
  Bytes expected{0xAA};
  expected.insert(expected.end(), burst.begin(), burst.end());
  EXPECT_EQ(Take(1201), expected);
  std::lock_guard lock(mutex_);
  std::vector<std::string> chunks;
  std::copy_if(
      traces_.begin(), traces_.end(), std::back_inserter(chunks),
      [](const std::string& t) { return t.find("bytes read") != std::string::npos; });
  EXPECT_EQ(chunks, (std::vector<std::string>{"\n1 bytes read", "\n1200 bytes read"}));
}

TEST_F(SerialPortTest, AFullQueueSlowsTheDeviceAndCloseStillEndsTheThread) {
  Table().rxQueue[0].Free();
  Table().rxQueue[0].Allocate(256);
  ASSERT_EQ(Ports().RsOpen(0), 1);
  const Bytes data = Pattern(200000, 11);
  std::thread device([&] { WriteAll(master_, data); });
  EXPECT_TRUE(Take(data.size(), 64) == data);  // nothing lost, nothing reordered
  device.join();

  ASSERT_TRUE(WriteAll(master_, Pattern(1000)));  // the thread now waits for room
  ASSERT_TRUE(WaitFor([] { return Table().rxQueue[0].Count() == 256; }));
  auto closing = std::async(std::launch::async, [] { Ports().RsClose(0); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(Closed(0));
}

TEST_F(SerialPortTest, XoffHoldsWritesBackWithoutWaitingAndXonReleasesThem) {
  SetPort(0, "com1", "9600,n,8,1", "x");
  ASSERT_EQ(Ports().RsOpen(0), 1);
  const Bytes chunk = Pattern(10);
  // Xoff, then a marker: once the marker is in, output has stopped.
  ASSERT_TRUE(WriteAll(master_, {0x13, 'M'}));
  ASSERT_EQ(Take(1), Bytes{'M'});
  // The write takes nothing and returns at once, and the port shows no room
  // for the relay to wait on until Xon.
  EXPECT_EQ(Ports().RsWriteNow(0, chunk.data(), 10), 0);
  pollfd room{Ports().RsWaitHandle(0), POLLOUT, 0};
  EXPECT_EQ(::poll(&room, 1, 200), 0);
  ASSERT_TRUE(WriteAll(master_, {0x11}));
  room.revents = 0;
  EXPECT_EQ(::poll(&room, 1, 10000), 1);
  ASSERT_TRUE(WriteToPort(0, chunk));
  EXPECT_EQ(ReadFor(master_, 10), chunk);

  // Stopped again: closing does not wait for the device to take output, and
  // a write after the close is refused.
  ASSERT_TRUE(WriteAll(master_, {0x13, 'N'}));
  ASSERT_EQ(Take(1), Bytes{'N'});
  EXPECT_EQ(Ports().RsWriteNow(0, chunk.data(), 10), 0);
  auto closing = std::async(std::launch::async, [] { Ports().RsClose(0); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(Closed(0));
  EXPECT_EQ(Ports().RsWriteNow(0, chunk.data(), 10), -1);
}

TEST_F(SerialPortTest, HangUpIsReportedWithoutSpinning) {
  ASSERT_EQ(Ports().RsOpen(0), 1);
  ::close(master_);  // the other end goes away
  master_ = -1;
  ASSERT_TRUE(WaitFor([] { return Ports().rsError[0] == kRsReadError; }));
  timespec before{}, after{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(1s);
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
  EXPECT_LT(static_cast<double>(after.tv_sec - before.tv_sec) +
                static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9,
            0.2);
  EXPECT_EQ(Ports().rsError[0], kRsReadError);
  const uint8_t byte = 'x';
  EXPECT_EQ(Ports().RsWriteNow(0, &byte, 1), -1);  // the device refuses it
  auto closing = std::async(std::launch::async, [] { Ports().RsClose(0); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(Closed(0));
}

}  // namespace
}  // namespace qmx
