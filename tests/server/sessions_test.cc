// Several operators on the control line: each client in a session of its
// own, a limit on idle ones, and `drop`, which frees a data line for the next
// client while its port stays open.
#include <string>

#include "fake_server.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

using testsupport::WaitFor;

const std::string kGreeting = "QMX ver2.01 ready\r\n";

class Sessions : public FakeServer {
 protected:
  // A greeted control client.
  std::shared_ptr<FakeClientEnd> Operator() {
    std::shared_ptr<FakeClientEnd> client = network_.Connect(kControlPort);
    EXPECT_NE(client, nullptr);
    EXPECT_TRUE(
        ReceivedUntil(*client, [](const std::string& s) { return s == kGreeting; }));
    client->TakeReceived();
    return client;
  }
  // Runs `command` on `client`; its echo (after what was echoed before) and
  // reply.
  static std::string Run(FakeClientEnd& client, const std::string& command) {
    client.Send(command + "\r");
    ReceivedUntil(client, [&](const std::string& s) {
      const size_t echoEnd = s.find("\r\n");
      return echoEnd != std::string::npos && s.size() > echoEnd + 2 &&
             s.ends_with("\r\n");
    });
    return client.TakeReceived();
  }
  bool Logged(const std::string& text) {
    for (const std::string& entry : server_->Table().ErrorLogListing())
      if (entry.find(text) != std::string::npos) return true;
    return false;
  }
};

TEST_F(Sessions, EachOperatorHasASessionOfItsOwnAndTheNextOneWaits) {
  controlClients = 2;
  Start();
  std::shared_ptr<FakeClientEnd> first = Operator();
  std::shared_ptr<FakeClientEnd> second = Operator();
  std::shared_ptr<FakeClientEnd> third = network_.Connect(kControlPort);
  ASSERT_NE(third, nullptr);
  // A half-typed line of one session is not the other's.
  first->Send("hel");
  EXPECT_EQ(Run(*second, "status com9"), "status com9\r\n502 unused port\r\n");
  EXPECT_EQ(Run(*first, "lo"), "hello\r\n220 QMX ver2.01 ready\r\n");
  EXPECT_EQ(second->Received(), "");
  // Both places are taken: the third client has not been greeted.
  EXPECT_EQ(third->Received(), "");
  first->Reset();
  EXPECT_TRUE(ReceivedUntil(*third, [](const std::string& s) { return s == kGreeting; }));
  third->TakeReceived();
  EXPECT_EQ(Run(*third, "hello"), "hello\r\n220 QMX ver2.01 ready\r\n");
}

// Clients that end their input (as nc -N does), whichever session took
// them, get their replies and then the server's end.
TEST_F(Sessions, ClientsThatEndTheirInputAreAnsweredAndLeave) {
  controlClients = 2;
  Start();
  std::shared_ptr<FakeClientEnd> clients[] = {Operator(), Operator()};
  for (auto& client : clients) {
    client->Send("hello\r");
    client->EndInput();
  }
  for (auto& client : clients) {
    EXPECT_TRUE(ReceivedUntil(*client, [](const std::string& s) {
      return s == "hello\r\n220 QMX ver2.01 ready\r\n";
    }));
    EXPECT_TRUE(WaitFor([&] { return client->HalfClosed(); }));
  }
}

TEST_F(Sessions, AnIdleOrDribblingOperatorIsClosedAndTheNextIsGreeted) {
  controlClients = 3;
  controlIdleSeconds = 1;
  Start();
  std::shared_ptr<FakeClientEnd> silent = Operator();
  std::shared_ptr<FakeClientEnd> dribbler = Operator();
  std::shared_ptr<FakeClientEnd> busy = Operator();
  // Over two idle limits: a byte now and then that completes no command does
  // not count; a command each 400 ms keeps its client.
  for (int i = 0; i < 6; ++i) {
    dribbler->Send("x");
    EXPECT_EQ(Run(*busy, "hello"), "hello\r\n220 QMX ver2.01 ready\r\n");
    std::this_thread::sleep_for(400ms);  // pacing the clients, not waiting for the server
  }
  EXPECT_TRUE(WaitFor([&] { return silent->Aborted() && dribbler->Aborted(); }));
  EXPECT_FALSE(busy->Aborted());
  EXPECT_TRUE(Logged("dropped 127.0.0.1: no command for 1 s"));
  std::shared_ptr<FakeClientEnd> next = Operator();  // greeted in a freed place
  EXPECT_NE(Run(*next, "stats").find("line.0.drops_idle=2\r\n"), std::string::npos);
}

TEST_F(Sessions, DropFreesADataLineAndLeavesItsPortAlone) {
  std::shared_ptr<FakeDeviceEnd> com1 = Bridge(1);
  Start();
  std::shared_ptr<FakeClientEnd> forgotten = Connect(DataPort(1));
  std::shared_ptr<FakeClientEnd> waiting =
      network_.Connect(static_cast<uint16_t>(DataPort(1)));
  ASSERT_NE(waiting, nullptr);
  EXPECT_EQ(Command("drop " + std::to_string(DataPort(1))), "200 dropped 127.0.0.1\r\n");
  EXPECT_TRUE(WaitFor([&] { return forgotten->Aborted(); }));
  // The next client is served by the same open device, DTR still raised.
  waiting->Send("after");
  EXPECT_TRUE(com1->WaitForWritten(5));
  EXPECT_EQ(com1->Written(), "after");
  EXPECT_EQ(com1->Opens(), 1);
  EXPECT_TRUE(com1->Dtr());
  EXPECT_EQ(Command("drop com1"), "200 dropped 127.0.0.1\r\n");
  EXPECT_TRUE(WaitFor([&] { return waiting->Aborted(); }));
  EXPECT_TRUE(WaitFor([&] { return Command("drop com1") == "422 no client\r\n"; }));
  EXPECT_EQ(Command("drop " + std::to_string(kControlPort)), "502 not a data line\r\n");
  EXPECT_EQ(Command("drop com7"), "502 unused port\r\n");
  EXPECT_EQ(Command("drop"), "501 No parameter\r\n");
}

}  // namespace
}  // namespace qmx::test
