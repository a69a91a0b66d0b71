// qmx-vport, the real executable: echo plug, null-modem join, clean exit, and
// the driver opening a port it provides again and again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "engine/line_table.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"
#include "serial_test_util.h"
#include "testsupport/child_process.h"
#include "testsupport/process_table.h"

namespace qmx {
namespace {

using namespace testing;

bool Exists(const char* name) {
  struct stat entry;
  return ::lstat(name, &entry) == 0;
}

int OpenPort(const char* name) { return ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK); }

// Starts the tool in the working directory, never outliving a crashed test;
// with `pipeOut` its standard output can be read from stdoutFd().
std::unique_ptr<testsupport::ChildProcess> StartVport(
    const std::vector<std::string>& args, bool pipeOut = false) {
  const char* dir = std::getenv("QMX_BIN_DIR");
  testsupport::ChildOptions options;
  options.binary = std::string(dir ? dir : ".") + "/qmx-vport";
  options.argv = {options.binary};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.pipeStdout = pipeOut;
  options.dieWithParent = true;
  auto child = std::make_unique<testsupport::ChildProcess>();
  std::string error;
  EXPECT_TRUE(child->Start(options, &error)) << error;
  return child;
}

// The exit status once the tool ended (after `signal`, if any), or -1.
int ExitStatus(testsupport::ChildProcess& vport, int signal = 0) {
  return signal != 0 ? vport.Stop(signal, 10s) : vport.WaitExit(10s);
}

class SerialVportTest : public ::testing::Test {
  ScratchDir scratch_;
};

TEST_F(SerialVportTest, EchoPlugAnswersEveryByteAcrossReopensAndLeavesNoLink) {
  const auto vport = StartVport({"com1"}, /*pipeOut=*/true);
  const Bytes line = ReadFor(vport->stdoutFd(), 17);
  EXPECT_EQ(std::string(line.begin(), line.end()), "com1 -> /dev/pts/");
  ASSERT_TRUE(WaitFor([] { return Exists("com1"); }));
  const Bytes data = Pattern(3000);
  for (int round = 0; round < 2; ++round) {
    const int fd = OpenPort("com1");
    ASSERT_TRUE(WriteAll(fd, data));
    EXPECT_EQ(ReadFor(fd, data.size()), data) << "round " << round;
    ::close(fd);
  }

  Table().wakeEvent.Open();  // and through the driver, opened three times
  Ports().RsBindInput(0, &Table().rxQueue[0], &Table().wakeEvent);
  Table().rxQueue[0].Allocate(5000);
  CopyField(Ports().rsPorts[0].name, "com1");
  CopyField(Ports().rsPorts[0].definition, "115200,n,8,1");
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(Ports().RsOpen(0), 1);
    ASSERT_TRUE(WriteToPort(0, Bytes(data.begin(), data.begin() + 1000)));
    Bytes got(1000);
    size_t have = 0;
    EXPECT_TRUE(WaitFor([&] {
      return (have += Table().rxQueue[0].GetSome(std::span(got).subspan(have))) == 1000;
    }));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    Ports().RsClose(0);
  }
  EXPECT_EQ(ExitStatus(*vport, SIGTERM), 0);
  EXPECT_FALSE(Exists("com1"));
}

TEST_F(SerialVportTest, JoinedPortsActLikeANullModemCable) {
  const auto vport = StartVport({"--join", "com1:com2"});
  ASSERT_TRUE(WaitFor([] { return Exists("com1") && Exists("com2"); }));
  const int a = OpenPort("com1");
  const int b = OpenPort("com2");
  ASSERT_TRUE(WriteAll(a, {'p', 'i', 'n', 'g', '\r', '\n'}));
  EXPECT_EQ(ReadFor(b, 6), (Bytes{'p', 'i', 'n', 'g', '\r', '\n'}));
  ASSERT_TRUE(WriteAll(b, {'p', 'o', 'n', 'g'}));
  EXPECT_EQ(ReadFor(a, 10, 500ms), (Bytes{'p', 'o', 'n', 'g'}));  // no echo of "ping"
  ::close(a);
  ::close(b);
  EXPECT_EQ(ExitStatus(*vport, SIGINT), 0);
  EXPECT_FALSE(Exists("com1") || Exists("com2"));

  EXPECT_EQ(ExitStatus(*StartVport({})), 2);  // usage errors
  EXPECT_EQ(ExitStatus(*StartVport({"--join", "com1"})), 2);
  EXPECT_EQ(ExitStatus(*StartVport({"--join", "com1:com1"})), 2);
}

}  // namespace
}  // namespace qmx
