// The metrics page of a hand-made snapshot: exact samples, families kept
// together, escaping, and promtool's verdict on the whole page.
#include "metrics/exposition.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/scratch_dir.h"

namespace qmx {
namespace {

ServerStats Sample() {
  ServerStats s;
  s.startTime = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  LineStats control;
  control.tcpPort = 7001;  // a number on the page only: nothing listens
  control.accepted = 3;
  control.refused = 1;
  control.clients.resize(1);
  LineStats data;
  data.line = 1;
  data.bytesToDevice = 10;
  data.bytesToClient = 20;
  data.dropsStalled = 1;
  data.dropsKeepalive = 2;
  data.dropsIdle = 3;
  s.lines = {control, data};
  PortStats com1;
  com1.name = "com1";
  com1.state = PortState::kOpen;
  com1.lineErrorsKnown = true;
  com1.lineErrors = {5, 6, 7, 8, 9};
  PortStats com2;
  com2.index = 1;
  com2.name = "com2";
  com2.state = PortState::kAwaitingDevice;
  com2.bytesFromDevice = 42;
  com2.deviceLosses = 1;
  s.ports = {com1, com2};
  return s;
}

std::vector<std::string> Lines(const std::string& page) {
  std::vector<std::string> lines;
  std::istringstream in(page);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The HELP, TYPE and sample lines of one family, in page order; fails the
// test when they are not one block.
std::string Family(const std::string& page, const std::string& name) {
  std::string block;
  int last = -1;
  const std::vector<std::string> lines = Lines(page);
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const std::string& l = lines[i];
    const std::string metric = l[0] == '#' ? l.substr(7, l.find(' ', 7) - 7)
                                           : l.substr(0, l.find_first_of("{ "));
    if (metric != name) continue;
    if (last >= 0) {
      EXPECT_EQ(last, i - 1) << name << " is split";
    }
    last = i;
    block += l + "\n";
  }
  return block;
}

TEST(ExpositionTest, FamiliesHoldTheExactSamples) {
  const std::string page = RenderMetrics(Sample());
  EXPECT_EQ(Family(page, "qmx_start_time_seconds"),
            "# HELP qmx_start_time_seconds When the server started, in seconds since the "
            "Unix epoch.\n"
            "# TYPE qmx_start_time_seconds gauge\n"
            "qmx_start_time_seconds 1700000000\n");
  const std::string bytes = Family(page, "qmx_line_bytes_total");
  EXPECT_NE(bytes.find("# TYPE qmx_line_bytes_total counter\n"
                       "qmx_line_bytes_total{line=\"0\",direction=\"to_device\"} 0\n"
                       "qmx_line_bytes_total{line=\"0\",direction=\"to_client\"} 0\n"
                       "qmx_line_bytes_total{line=\"1\",direction=\"to_device\"} 10\n"
                       "qmx_line_bytes_total{line=\"1\",direction=\"to_client\"} 20\n"),
            std::string::npos)
      << bytes;
  const std::string connections = Family(page, "qmx_line_connections_total");
  EXPECT_NE(connections.find("{line=\"0\",result=\"accepted\"} 3\n"), std::string::npos);
  EXPECT_NE(connections.find("{line=\"0\",result=\"refused\"} 1\n"), std::string::npos);
  const std::string drops = Family(page, "qmx_line_drops_total");
  EXPECT_NE(drops.find("qmx_line_drops_total{line=\"1\",reason=\"stalled\"} 1\n"
                       "qmx_line_drops_total{line=\"1\",reason=\"keepalive\"} 2\n"
                       "qmx_line_drops_total{line=\"1\",reason=\"idle\"} 3\n"),
            std::string::npos);
  EXPECT_NE(Family(page, "qmx_line_clients")
                .find("qmx_line_clients{line=\"0\"} 1\n"
                      "qmx_line_clients{line=\"1\"} 0\n"),
            std::string::npos);
  EXPECT_NE(Family(page, "qmx_port_open")
                .find("qmx_port_open{port=\"com1\"} 1\n"
                      "qmx_port_open{port=\"com2\"} 0\n"),
            std::string::npos);
  EXPECT_NE(page.find("qmx_port_waiting{port=\"com2\"} 1\n"), std::string::npos);
  EXPECT_NE(page.find("qmx_port_device_losses_total{port=\"com2\"} 1\n"),
            std::string::npos);
  EXPECT_NE(
      page.find("qmx_port_bytes_total{port=\"com2\",direction=\"from_device\"} 42\n"),
      std::string::npos);
  // Line errors for com1 only: com2's device keeps no counters.
  const std::string errors = Family(page, "qmx_port_line_errors_total");
  EXPECT_NE(errors.find("{port=\"com1\",kind=\"frame\"} 5\n"), std::string::npos);
  EXPECT_NE(errors.find("{port=\"com1\",kind=\"break\"} 8\n"), std::string::npos);
  EXPECT_NE(errors.find("{port=\"com1\",kind=\"buffer_overrun\"} 9\n"),
            std::string::npos);
  EXPECT_EQ(errors.find("com2"), std::string::npos);

  ServerStats none = Sample();
  none.ports[0].lineErrorsKnown = false;
  EXPECT_EQ(RenderMetrics(none).find("qmx_port_line_errors_total"), std::string::npos);
}

TEST(ExpositionTest, EverySampleFollowsItsOwnHelpAndType) {
  const std::vector<std::string> lines = Lines(RenderMetrics(Sample()));
  std::set<std::string> seen;
  std::string current;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    if (l.rfind("# HELP ", 0) == 0) {
      current = l.substr(7, l.find(' ', 7) - 7);
      EXPECT_TRUE(seen.insert(current).second) << current << " announced twice";
      ASSERT_LT(i + 1, lines.size());
      EXPECT_EQ(lines[i + 1].rfind("# TYPE " + current + " ", 0), 0u) << l;
    } else if (l[0] != '#') {
      EXPECT_EQ(l.substr(0, l.find_first_of("{ ")), current) << l;
    }
  }
}

TEST(ExpositionTest, LabelValuesAreEscaped) {
  ServerStats s = Sample();
  s.ports[1].name = "a\"b\\c\nd";
  EXPECT_NE(RenderMetrics(s).find("qmx_port_open{port=\"a\\\"b\\\\c\\nd\"} 0\n"),
            std::string::npos);
}

// promtool (Debian package prometheus) parses and lints the page; CI has it.
TEST(ExpositionTest, PromtoolAcceptsThePage) {
  ASSERT_EQ(std::system("command -v promtool >/dev/null"), 0)
      << "promtool is missing: install the prometheus package";
  testsupport::ScratchDir dir("qmx-metrics", testsupport::ScratchDir::Enter::kNo);
  ServerStats s = Sample();
  s.ports[1].name = "odd \"name\"\\";
  ASSERT_TRUE(dir.WriteFile("page.txt", RenderMetrics(s)));
  const std::string command =
      "promtool check metrics < '" + dir.path() + "/page.txt' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string said;
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) said += buffer;
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << said;
  EXPECT_EQ(said, "");
}

}  // namespace
}  // namespace qmx
