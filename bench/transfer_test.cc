// The integrity check of the throughput runs: a relay that loses, changes,
// doubles or misroutes bytes must be reported, and a faithful one must not.
// The relay here is a thread copying between two socket pairs, with one
// fault put in.
#include "transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

namespace qmx::bench {
namespace {

// What the relay does to the n-th byte it forwards: return the bytes to
// forward in its place (none, itself, a changed one, or two).
using Fault = std::function<std::vector<uint8_t>(uint64_t index, uint8_t byte)>;

class PipeRelay {
 public:
  explicit PipeRelay(Fault fault) : fault_(std::move(fault)) {
    int in[2], out[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in), 0);
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out), 0);
    writeEnd_ = in[1];
    relayIn_ = in[0];
    relayOut_ = out[1];
    readEnd_ = out[0];
    ::fcntl(writeEnd_, F_SETFL, O_NONBLOCK);
    ::fcntl(readEnd_, F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
  }
  ~PipeRelay() {
    // With both outer ends gone the relay's read ends, or its send fails,
    // whichever it is waiting in.
    ::close(writeEnd_);
    ::close(readEnd_);
    thread_.join();
    ::close(relayIn_);
    ::close(relayOut_);
  }
  PipeRelay(const PipeRelay&) = delete;
  PipeRelay& operator=(const PipeRelay&) = delete;
  int writeEnd() const { return writeEnd_; }
  int readEnd() const { return readEnd_; }

 private:
  void Run() {
    uint8_t buffer[4096];
    uint64_t index = 0;
    for (;;) {
      const ssize_t got = ::read(relayIn_, buffer, sizeof buffer);
      if (got <= 0) return;
      std::vector<uint8_t> out;
      for (ssize_t i = 0; i < got; ++i) {
        for (uint8_t b : fault_(index++, buffer[i])) out.push_back(b);
      }
      size_t done = 0;
      while (done < out.size()) {
        const ssize_t put =
            ::send(relayOut_, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (put <= 0) return;
        done += static_cast<size_t>(put);
      }
    }
  }

  Fault fault_;
  int writeEnd_, relayIn_, relayOut_, readEnd_;
  std::thread thread_;
};

TransferOutcome Through(PipeRelay& relay, uint64_t bytes) {
  TransferLimits limits;
  limits.stallSeconds = 2;
  return RunTransfer({{"test line", relay.writeEnd(), relay.readEnd(), bytes}}, limits);
}

constexpr uint64_t kBytes = 300000;  // several times the sequence period
constexpr uint64_t kFaultAt = 200000;

TEST(TransferCheck, AcceptsAFaithfulRelayAndCountsEveryByte) {
  PipeRelay relay([](uint64_t, uint8_t b) { return std::vector<uint8_t>{b}; });
  const TransferOutcome outcome = Through(relay, kBytes);
  EXPECT_EQ(outcome.fault, "");
  EXPECT_EQ(outcome.received, kBytes);
  EXPECT_GT(outcome.MegabytesPerSecond(), 0);
}

TEST(TransferCheck, ReportsLostChangedAndDoubledBytes) {
  {
    PipeRelay lost([](uint64_t i, uint8_t b) {
      return i == kFaultAt ? std::vector<uint8_t>{} : std::vector<uint8_t>{b};
    });
    const TransferOutcome outcome = Through(lost, kBytes);
    EXPECT_NE(outcome.fault, "") << "a lost byte went unnoticed";
    EXPECT_EQ(outcome.received, kBytes - 1);
    // The report says where the bytes that came in its place belong.
    EXPECT_NE(outcome.fault.find("are the sent ones at +1 "), std::string::npos)
        << outcome.fault;
  }
  {
    PipeRelay changed([](uint64_t i, uint8_t b) {
      return std::vector<uint8_t>{i == kFaultAt ? static_cast<uint8_t>(b ^ 0x20) : b};
    });
    const TransferOutcome outcome = Through(changed, kBytes);
    EXPECT_NE(outcome.fault, "") << "a changed byte went unnoticed";
    ASSERT_EQ(outcome.streams.size(), 1u);
    EXPECT_EQ(outcome.streams[0].differing, 1u);
    EXPECT_EQ(outcome.streams[0].firstDiffering, kFaultAt);
  }
  {
    PipeRelay doubled([](uint64_t i, uint8_t b) {
      return i == kFaultAt ? std::vector<uint8_t>{b, b} : std::vector<uint8_t>{b};
    });
    const TransferOutcome outcome = Through(doubled, kBytes);
    EXPECT_NE(outcome.fault, "") << "a doubled byte went unnoticed";
    EXPECT_NE(outcome.fault.find("are the sent ones at -1 "), std::string::npos)
        << outcome.fault;
  }
}

TEST(TransferCheck, ReportsBytesThatArriveOnTheWrongLine) {
  // Two faithful relays with their outputs crossed, as if the server routed
  // line a to line b and back: both carry the same number of bytes, only the
  // contents tell.
  auto same = [](uint64_t, uint8_t byte) { return std::vector<uint8_t>{byte}; };
  PipeRelay a(same);
  PipeRelay b(same);
  TransferLimits limits;
  limits.stallSeconds = 2;
  const TransferOutcome outcome =
      RunTransfer({{"line a", a.writeEnd(), b.readEnd(), kBytes},
                   {"line b", b.writeEnd(), a.readEnd(), kBytes}},
                  limits);
  EXPECT_NE(outcome.fault, "") << "crossed lines went unnoticed";
}

TEST(TransferCheck, ReportsUnexpectedBytesAfterARun) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  EXPECT_EQ(ExpectQuiet({fds[0]}, 0.05), "");
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  EXPECT_NE(ExpectQuiet({fds[0]}, 0.05), "");
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace qmx::bench
