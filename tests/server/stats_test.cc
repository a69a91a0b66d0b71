// The counters: every byte each way on the lines and ports, the clients and
// their connections, the device's line errors, as the `stats` reply and the
// metrics page give them, and the session log's entries for a client.
#include "engine/stats.h"

#include <map>
#include <string>
#include <vector>

#include "fake_server.h"
#include "metrics/exposition.h"
#include "platform/session_log.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

using testsupport::WaitFor;

class Stats : public FakeServer {
 protected:
  // The `stats` reply as keys and values; checks that its first line counts
  // the lines that follow.
  std::map<std::string, std::string> Items(const std::string& command = "stats") {
    const std::string reply = Command(command);
    std::map<std::string, std::string> items;
    size_t at = reply.find("\r\n");
    EXPECT_EQ(reply.rfind("200 Statistics: ", 0), 0u) << reply;
    const int count = std::atoi(reply.c_str() + 16);
    int lines = 0;
    while (at != std::string::npos && at + 2 < reply.size()) {
      const size_t end = reply.find("\r\n", at + 2);
      const std::string line = reply.substr(at + 2, end - at - 2);
      const size_t equals = line.find('=');
      EXPECT_NE(equals, std::string::npos) << line;
      items[line.substr(0, equals)] = line.substr(equals + 1);
      ++lines;
      at = end;
    }
    EXPECT_EQ(lines, count) << reply;
    return items;
  }

  std::string Metrics() {
    LineTable& table = server_->Table();
    MutexLock lock(table.engineLock);
    return RenderMetrics(CollectStats(table));
  }

  static bool Has(const std::string& page, const std::string& sample) {
    return page.find("\n" + sample + "\n") != std::string::npos;
  }
};

TEST_F(Stats, EveryByteIsCountedOnceWhereItPassed) {
  std::shared_ptr<FakeDeviceEnd> com1 = Bridge(1);
  std::shared_ptr<FakeDeviceEnd> com2 = Bridge(2);
  com2->KeepNoCounters();  // as a pseudo-terminal
  std::vector<std::string> sessionLog;
  Mutex logMutex;
  Start();
  server_->Table().sessionLog.SetListener([&](LogPriority, const std::string& text) {
    MutexLock lock(logMutex);
    sessionLog.push_back(text);
  });
  std::shared_ptr<FakeClientEnd> one = Connect(DataPort(1));
  std::shared_ptr<FakeClientEnd> two = Connect(DataPort(2));
  const std::string copyReply = Command("receive com1");
  const int copyLine =
      std::stoi(copyReply.substr(copyReply.rfind(' ') + 1)) - kControlPort;
  std::shared_ptr<FakeClientEnd> copy = Connect(DataPort(copyLine));
  ASSERT_NE(copy, nullptr) << copyReply;

  one->Send(std::string(1000, 'a'));
  two->Send(std::string(300, 'b'));
  ASSERT_TRUE(com1->WaitForWritten(1000));
  ASSERT_TRUE(com2->WaitForWritten(300));
  com1->SetLineCounters(ErrorCounters{3, 1, 2, 0, 0});  // frame, overrun, parity
  com1->Feed(std::string(700, 'c'));
  com2->Feed(std::string(50, 'd'));
  ASSERT_TRUE(one->WaitForReceived(700));
  ASSERT_TRUE(copy->WaitForReceived(700));
  ASSERT_TRUE(two->WaitForReceived(50));

  // A counter moves just after its bytes were handed over.
  const std::string copyKey = "line." + std::to_string(copyLine) + ".";
  std::map<std::string, std::string> items;
  EXPECT_TRUE(WaitFor([&] {
    items = Items();
    return items["line.1.bytes_to_client"] == "700" &&
           items["line.2.bytes_to_client"] == "50" &&
           items[copyKey + "bytes_to_client"] == "700";
  }));
  EXPECT_EQ(items["line.1.bytes_to_device"], "1000");
  EXPECT_EQ(items["line.1.bytes_to_client"], "700");
  EXPECT_EQ(items["line.2.bytes_to_device"], "300");
  EXPECT_EQ(items["line.2.bytes_to_client"], "50");
  EXPECT_EQ(items[copyKey + "bytes_to_client"], "700");
  EXPECT_EQ(items[copyKey + "serial_port"], "com1");
  EXPECT_EQ(items["port.com1.bytes_to_device"], "1000");
  EXPECT_EQ(items["port.com1.bytes_from_device"], "700");
  EXPECT_EQ(items["port.com2.bytes_from_device"], "50");
  EXPECT_EQ(items["line.1.clients"], "1");
  EXPECT_EQ(items["line.1.client.1.address"], "127.0.0.1");
  EXPECT_EQ(items["line.1.client.1.bytes_to_device"], "1000");
  EXPECT_EQ(items["line.1.connections_accepted"], "1");
  EXPECT_EQ(items["port.com1.state"], "open");
  EXPECT_EQ(items["port.com1.line_errors.frame"], "3");
  EXPECT_EQ(items["port.com1.line_errors.parity"], "2");
  EXPECT_EQ(items["port.com1.line_errors.overrun"], "1");
  EXPECT_EQ(items.count("port.com2.line_errors.frame"), 0u);  // absent, not zero

  // `stats com1`: the port and the lines that get its bytes, no other.
  auto one_port = Items("stats com1");
  EXPECT_EQ(one_port["port.com1.bytes_to_device"], "1000");
  EXPECT_EQ(one_port.count(copyKey + "bytes_to_client"), 1u);
  EXPECT_EQ(one_port.count("line.2.bytes_to_device"), 0u);
  EXPECT_EQ(one_port.count("port.com2.state"), 0u);
  EXPECT_EQ(Command("stats com9"), "502 unused port\r\n");

  const std::string page = Metrics();
  EXPECT_TRUE(Has(page, "qmx_line_bytes_total{line=\"1\",direction=\"to_device\"} 1000"))
      << page;
  EXPECT_TRUE(Has(page, "qmx_line_bytes_total{line=\"" + std::to_string(copyLine) +
                            "\",direction=\"to_client\"} 700"))
      << page;
  EXPECT_TRUE(Has(page, "qmx_port_line_errors_total{port=\"com1\",kind=\"frame\"} 3"))
      << page;
  EXPECT_EQ(page.find("qmx_port_line_errors_total{port=\"com2\""), std::string::npos);

  // The client's end, with what it carried, and the commands with their codes.
  one->Reset();
  EXPECT_TRUE(WaitFor([&] {
    MutexLock lock(logMutex);
    for (const std::string& entry : sessionLog) {
      if (entry.rfind(
              "TCP port " + std::to_string(DataPort(1)) + ": 127.0.0.1 disconnected (",
              0) == 0 &&
          entry.find("), 1000 bytes from it, 700 bytes to it") != std::string::npos)
        return true;
    }
    return false;
  }));
  MutexLock lock(logMutex);
  const std::string control =
      "TCP port " + std::to_string(kControlPort) + ": 127.0.0.1: ";
  EXPECT_NE(std::find(sessionLog.begin(), sessionLog.end(), control + "stats -> 200"),
            sessionLog.end());
  EXPECT_NE(
      std::find(sessionLog.begin(), sessionLog.end(), control + "stats com9 -> 502"),
      sessionLog.end());
  server_->Table().sessionLog.SetListener(nullptr);
}

TEST_F(Stats, RefusalsAndDropsAreCountedByReason) {
  std::shared_ptr<FakeDeviceEnd> com1 = Bridge(1);
  Start();
  LineTable& table = server_->Table();
  IpNet only;
  ASSERT_TRUE(ParseIpNet("10.0.0.0/8", &only));
  IpNet everyone;
  ASSERT_TRUE(ParseIpNet("0.0.0.0/0", &everyone));
  table.net.TcpSetAllowLists({only}, {everyone}, true);
  network_.Connect(static_cast<uint16_t>(DataPort(1)), "192.0.2.9");
  EXPECT_TRUE(WaitFor([&] { return Items()["line.1.connections_refused"] == "1"; }));

  // A client that takes nothing is dropped after the stall limit.
  table.net.SetSendStallLimitForTest(100);
  std::shared_ptr<FakeClientEnd> stuck =
      network_.Connect(static_cast<uint16_t>(DataPort(1)), "10.0.0.7");
  ASSERT_NE(stuck, nullptr);
  stuck->SetRoom(0);
  ASSERT_TRUE(WaitFor([&] { return Items()["line.1.clients"] == "1"; }));
  com1->Feed("x");
  EXPECT_TRUE(WaitFor([&] { return stuck->Aborted(); }));
  const auto items = Items();
  EXPECT_EQ(items.at("line.1.drops_stalled"), "1");
  EXPECT_EQ(items.at("line.1.drops_keepalive"), "0");
  EXPECT_EQ(items.at("line.1.connections_accepted"), "1");
  const std::string page = Metrics();
  EXPECT_TRUE(Has(page, "qmx_line_connections_total{line=\"1\",result=\"refused\"} 1"));
  EXPECT_TRUE(Has(page, "qmx_line_drops_total{line=\"1\",reason=\"stalled\"} 1"));
}

}  // namespace
}  // namespace qmx::test
