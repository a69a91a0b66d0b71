// The many-line run's parts: the settings file qmxd reads for more than
// eight lines, and the poller that drives every line at once, which must
// count each round trip and must report an echo that is wrong or missing.
// A line here is a socket pair: the client's end and, as its device, the
// other end, which makes a faithful relay with no server in between.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "line_polling.h"
#include "relay_process.h"

namespace qmx::bench {
namespace {

std::vector<std::string> FileLines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) {
    EXPECT_TRUE(line.ends_with('\r')) << "not a CR LF line: " << line;
    lines.push_back(line.substr(0, line.size() - 1));
  }
  return lines;
}

TEST(ManyLineSettings, FurtherLinesFollowTheNineteenInPairs) {
  std::vector<int> ports;
  for (int k = 1; k <= 64; ++k) ports.push_back(40000 + k);
  const std::vector<std::string> lines = FileLines(QmxSettingsText(39999, ports));
  ASSERT_EQ(lines.size(), 19u + 2 * 56);
  EXPECT_EQ(lines[2], "40001,com1");
  EXPECT_EQ(lines[9], "40008,com8");
  EXPECT_EQ(lines[17], "com8,115200,n,8,1,n");
  EXPECT_EQ(lines[18], "0");
  EXPECT_EQ(lines[19], "40009,com9");
  EXPECT_EQ(lines[20], "com9,115200,n,8,1,n");
  EXPECT_EQ(lines[129], "40064,com64");
  EXPECT_EQ(lines[130], "com64,115200,n,8,1,n");
  // Eight lines keep the file of nineteen.
  ports.resize(8);
  EXPECT_EQ(FileLines(QmxSettingsText(39999, ports)).size(), 19u);
}

// Socket pairs as lines, closed at the end of the test.
class Lines {
 public:
  explicit Lines(int count) {
    for (int k = 0; k < count; ++k) {
      int pair[2];
      EXPECT_EQ(
          ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair), 0);
      fds_.push_back(pair[0]);
      fds_.push_back(pair[1]);
      lines_.push_back({pair[0], pair[1]});
    }
  }
  ~Lines() {
    for (int fd : fds_) ::close(fd);
  }
  Lines(const Lines&) = delete;
  Lines& operator=(const Lines&) = delete;
  std::vector<PolledLine>& lines() { return lines_; }

 private:
  std::vector<int> fds_;
  std::vector<PolledLine> lines_;
};

TEST(LinePolling, CountsEveryRoundTripOnEveryLine) {
  Lines lines(16);
  LinePoller poller(lines.lines(), 16);
  poller.WarmUp();
  poller.Run(30);
  poller.Run(20);
  EXPECT_EQ(poller.fault(), "");
  EXPECT_EQ(poller.microseconds().size(), 16u * 50);
  EXPECT_GT(poller.seconds(), 0);
}

TEST(LinePolling, ReportsAWrongOrMissingEcho) {
  {
    // A byte put in ahead of line 3's first echo, as a relay that doubles one.
    Lines lines(4);
    ASSERT_EQ(::write(lines.lines()[2].device, "x", 1), 1);
    LinePoller poller(lines.lines(), 16);
    poller.Run(10);
    EXPECT_NE(poller.fault().find("line 3, round trip 1 of 16 bytes: the echo differs"),
              std::string::npos)
        << poller.fault();
  }
  {
    // Line 2's device never sees the message: a relay that lost it.
    Lines lines(2);
    Lines elsewhere(1);
    lines.lines()[1].device = elsewhere.lines()[0].device;
    LinePoller poller(lines.lines(), 16);
    poller.Run(10);
    EXPECT_NE(poller.fault().find("line 2, round trip 1 of 16 bytes: no echo within 2 s"),
              std::string::npos)
        << poller.fault();
    // A poller that failed measures nothing more.
    const size_t measured = poller.microseconds().size();
    poller.Run(10);
    EXPECT_EQ(poller.microseconds().size(), measured);
  }
}

}  // namespace
}  // namespace qmx::bench
