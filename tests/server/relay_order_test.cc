// The relay's ordering rules, against fake devices and clients: a command's
// echo and replies come before anything of a later command, even while the
// control client takes its output slowly; every client of a port, its own
// line's and the copy lines', gets every byte the device sends, in order;
// and a client's bytes reach a slow device whole and in order.
#include <atomic>
#include <string>
#include <thread>

#include "fake_server.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

using testsupport::WaitFor;

class RelayOrder : public FakeServer {};

std::string Pattern(size_t size, unsigned seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>((i * 131 + seed) % 251);
  return text;
}

TEST_F(RelayOrder, EachCommandsEchoAndRepliesComeBeforeTheNextCommands) {
  Start();
  FakeClientEnd& control = Control();
  // Three commands in one piece, the last split over two.
  control.Send("hello\rstatus com1\rhe");
  control.Send("lp\r");
  const std::string expected = std::string("hello\r\n220 QMX ver2.01 ready\r\n") +
                               "status com1\r\n422 com1 doesn't open\r\n" +
                               "help\r\n200 ";
  ASSERT_TRUE(WaitFor([&] { return control.Received().size() >= expected.size(); }));
  EXPECT_EQ(control.Received().substr(0, expected.size()), expected);
}

TEST_F(RelayOrder, AReplyHeldBackByASlowClientStillComesBeforeLaterInput) {
  Start();
  FakeClientEnd& control = Control();
  control.SetRoom(8);  // the client takes its output eight bytes at a time
  control.Send("status\r");
  control.Send("hello\r");
  std::string report;
  for (int round = 0; round < 2000; ++round) {
    if (control.Received().find("hello\r\n220 QMX ver2.01 ready\r\n") !=
        std::string::npos) {
      break;
    }
    ASSERT_TRUE(WaitFor([&] { return control.Received().size() >= report.size() + 1; }))
        << control.Received();
    report = control.Received();
    control.SetRoom(8);
  }
  report = control.Received();
  const size_t statusEnd = report.find("8:");
  const size_t helloEcho = report.find("hello\r\n");
  ASSERT_NE(statusEnd, std::string::npos) << report;
  ASSERT_NE(helloEcho, std::string::npos) << report;
  EXPECT_LT(statusEnd, helloEcho) << report;
  EXPECT_EQ(report.rfind("status\r\n200 Status is:\r\n", 0), 0u) << report;
}

TEST_F(RelayOrder, EveryClientOfAPortGetsEveryByteInOrderBehindASlowOwnClient) {
  auto com1 = Bridge(1);
  Start();
  std::vector<int> ports{DataPort(1)};
  for (int copies = 0; copies < 2; ++copies) {
    const std::string reply = Command("receive com1");
    ASSERT_EQ(reply.rfind("200 receive data from com1", 0), 0u) << reply;
    ports.push_back(std::stoi(reply.substr(reply.rfind(' ') + 1)));
  }
  std::vector<std::shared_ptr<FakeClientEnd>> clients;
  for (int port : ports) {
    clients.push_back(Connect(port));
    ASSERT_NE(clients.back(), nullptr);
  }
  // The port's own client reads in small pieces, as a slow link would: the
  // port's input waits for it, and the copy clients, which keep up, get
  // every byte too.
  FakeClientEnd& slow = *clients[0];
  slow.SetRoom(0);

  const std::string sent = Pattern(300000, 7);
  std::atomic<bool> stop{false};
  std::thread device([&] {
    for (size_t at = 0; at < sent.size() && !stop;) {
      // The device's input waits while the relay holds enough of it.
      if (com1->PendingInput() > 100000) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      const size_t piece = std::min<size_t>(1 + (at * 7) % 5000, sent.size() - at);
      com1->Feed(std::string_view(sent).substr(at, piece));
      at += piece;
    }
  });
  bool progressed = true;
  while (progressed && slow.Received().size() < sent.size()) {
    const size_t had = slow.Received().size();
    slow.SetRoom(1000);
    progressed = WaitFor([&] { return slow.Received().size() > had; });
    EXPECT_TRUE(progressed) << had << " of " << sent.size() << "; the others have "
                            << clients[1]->Received().size() << " and "
                            << clients[2]->Received().size() << "; the device holds "
                            << com1->PendingInput();
  }
  stop = true;
  device.join();
  for (auto& client : clients) {
    ASSERT_TRUE(WaitFor([&] { return client->Received().size() >= sent.size(); }));
    EXPECT_EQ(client->Received().size(), sent.size());
    EXPECT_TRUE(client->Received() == sent);
  }
}

TEST_F(RelayOrder, AClientsBytesReachASlowDeviceWholeAndInOrder) {
  auto com3 = Bridge(3);
  Start();
  auto client = Connect(DataPort(3));
  ASSERT_NE(client, nullptr);
  com3->SetRoom(0);
  const std::string sent = Pattern(200000, 3);
  for (size_t at = 0; at < sent.size(); at += 4096) client->Send(sent.substr(at, 4096));
  while (com3->Written().size() < sent.size()) {
    const size_t had = com3->Written().size();
    com3->SetRoom(512);
    if (!WaitFor([&] { return com3->Written().size() > had; })) break;
  }
  EXPECT_EQ(com3->Written().size(), sent.size());
  EXPECT_TRUE(com3->Written() == sent);
}

}  // namespace
}  // namespace qmx::test
