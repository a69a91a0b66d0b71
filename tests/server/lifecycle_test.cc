// The life of a port and its lines, against fake devices and clients: open,
// close by name and by TCP port, copy lines, a device lost and back, and
// shutdown. Each step is checked where it shows: the device (open, settings,
// DTR, what it was sent), the network (who listens) and the clients.
#include <algorithm>
#include <string>

#include "fake_server.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

using testsupport::WaitFor;

class Lifecycle : public FakeServer {};

TEST_F(Lifecycle, OpenBringsUpTheDeviceAndTheLineAndCloseTakesBothDown) {
  auto com2 = Plug(2);
  Start();
  EXPECT_FALSE(Listening(DataPort(2)));  // "unused" in qmx.txt
  EXPECT_EQ(Command("open com2,19200,e,7,2,h"), "200 opened by 19200,e,7,2,h. Port is " +
                                                    std::to_string(DataPort(2)) + "\r\n");
  EXPECT_TRUE(com2->IsOpen());
  EXPECT_EQ(com2->Settings().baud, 19200);
  EXPECT_EQ(com2->Settings().dataBits, 7);
  EXPECT_EQ(com2->Flow(), FlowControl::kHardware);
  EXPECT_TRUE(com2->Dtr());
  EXPECT_EQ(StateOf(2), PortState::kOpen);

  auto client = Connect(DataPort(2));
  ASSERT_NE(client, nullptr);
  client->Send("to the device");
  EXPECT_TRUE(com2->WaitForWritten(13));
  EXPECT_EQ(com2->TakeWritten(), "to the device");
  com2->Feed("to the client");
  EXPECT_TRUE(client->WaitForReceived(13));
  EXPECT_EQ(client->TakeReceived(), "to the client");

  EXPECT_EQ(Command("open com2"), "423 has already opened\r\n");
  EXPECT_EQ(com2->Opens(), 1);

  EXPECT_EQ(Command("close com2"), "200 OK\r\n");
  EXPECT_FALSE(com2->IsOpen());
  EXPECT_FALSE(com2->Dtr());
  EXPECT_FALSE(Listening(DataPort(2)));
  EXPECT_TRUE(WaitFor([&] { return client->Closed(); }));
  EXPECT_EQ(StateOf(2), PortState::kClosed);
  EXPECT_EQ(Command("close com2"), "422 not opened\r\n");
}

TEST_F(Lifecycle, CloseByTcpPortEndsTheLineAndItsBridgedPortButNotTheControlLine) {
  auto com1 = Bridge(1);
  auto com3 = Bridge(3);
  Start();
  EXPECT_TRUE(com1->IsOpen() && com3->IsOpen());
  EXPECT_EQ(LineStatus(1), "OK");

  EXPECT_EQ(Command("close " + std::to_string(DataPort(1))), "200 OK\r\n");
  EXPECT_FALSE(com1->IsOpen());
  EXPECT_FALSE(Listening(DataPort(1)));
  EXPECT_TRUE(com3->IsOpen());  // the other line is untouched
  EXPECT_TRUE(Listening(DataPort(3)));
  EXPECT_EQ(LineStatus(1), "unused");

  EXPECT_EQ(Command("close " + std::to_string(kControlPort)), "502 don't close port\r\n");
  EXPECT_TRUE(Listening(kControlPort));
  EXPECT_EQ(Command("close 7999"), "502 unused port\r\n");
}

TEST_F(Lifecycle, CopyLinesGetThePortsInputUntilThePortCloses) {
  auto com1 = Bridge(1);
  Start();
  const std::string reply = Command("receive com1");
  ASSERT_EQ(reply.rfind("200 receive data from com1. Port is ", 0), 0u) << reply;
  const int copyPort = std::stoi(reply.substr(reply.rfind(' ') + 1));
  EXPECT_NE(copyPort, DataPort(1));

  auto own = Connect(DataPort(1));
  auto copy = Connect(copyPort);
  ASSERT_TRUE(own && copy);
  // The copy line carries only the port's input: what its client sends goes
  // nowhere, and the port's own line still writes to the device.
  copy->Send("ignored");
  own->Send("written");
  EXPECT_TRUE(com1->WaitForWritten(7));
  com1->Feed("reading");
  EXPECT_TRUE(own->WaitForReceived(7));
  EXPECT_TRUE(copy->WaitForReceived(7));
  EXPECT_EQ(copy->Received(), "reading");
  EXPECT_EQ(com1->Written(), "written");

  EXPECT_EQ(Command("receive com5"), "423 not open\r\n");
  // Closing the port ends its copy lines with it.
  EXPECT_EQ(Command("close com1"), "200 OK\r\n");
  EXPECT_FALSE(Listening(copyPort));
  EXPECT_TRUE(WaitFor([&] { return copy->Closed(); }));
}

TEST_F(Lifecycle, ALostDeviceIsAwaitedAndItsLineComesBackWithIt) {
  auto com1 = Bridge(1);
  Start();
  auto client = Connect(DataPort(1));
  ASSERT_NE(client, nullptr);
  com1->Feed("before");
  EXPECT_TRUE(client->WaitForReceived(6));

  devices_.Unplug(DevicePath(1));
  ASSERT_TRUE(WaitFor([&] { return StateOf(1) == PortState::kAwaitingDevice; }));
  EXPECT_EQ(LineStatus(1), "NG");
  {
    LineTable& table = server_->Table();
    const auto log = table.ErrorLogListing();
    EXPECT_NE(std::find(log.begin(), log.end(), "com1 device lost; waiting for it"),
              log.end());
  }

  // Plugged in again: the port opens with the settings it had, and the line
  // relays as before.
  devices_.Plug(DevicePath(1));
  ASSERT_TRUE(WaitFor([&] { return StateOf(1) == PortState::kOpen; }));
  EXPECT_EQ(com1->Opens(), 2);
  EXPECT_EQ(com1->Settings().baud, 9600);
  EXPECT_EQ(LineStatus(1), "OK");
  // The client kept its line meanwhile.
  com1->TakeWritten();
  client->Send("after");
  EXPECT_TRUE(com1->WaitForWritten(5));
  EXPECT_EQ(com1->TakeWritten(), "after");

  // A port that awaits its device is closed on purpose like an open one.
  devices_.Unplug(DevicePath(1));
  ASSERT_TRUE(WaitFor([&] { return StateOf(1) == PortState::kAwaitingDevice; }));
  EXPECT_EQ(Command("close com1"), "200 OK\r\n");
  EXPECT_EQ(StateOf(1), PortState::kClosed);
  devices_.Plug(DevicePath(1));
  EXPECT_EQ(com1->Opens(), 2);  // nobody waits for it any more
}

TEST_F(Lifecycle, ADeviceThatIsNotThereFailsTheOpenAndOneInUseToo) {
  auto com1 = Plug(1);
  devices_.Busy(DevicePath(1), true);
  Start();
  EXPECT_EQ(Command("open com1"), "420 Failed to open com port\r\n");
  EXPECT_EQ(Command("open com4"), "420 Failed to open com port\r\n");  // never plugged
  devices_.Busy(DevicePath(1), false);
  EXPECT_EQ(Command("open com1").rfind("200 opened by 9600,n,8,1,n.", 0), 0u);
  EXPECT_TRUE(com1->IsOpen());
}

TEST_F(Lifecycle, StopClosesEveryDeviceListenerAndClient) {
  auto com1 = Bridge(1);
  auto com2 = Bridge(2);
  Start();
  auto data = Connect(DataPort(1));
  ASSERT_NE(data, nullptr);
  FakeClientEnd& control = Control();
  data->Send("x");
  EXPECT_TRUE(com1->WaitForWritten(1));

  server_->Stop();
  EXPECT_FALSE(com1->IsOpen());
  EXPECT_FALSE(com2->IsOpen());
  EXPECT_FALSE(com1->Dtr());
  for (int port : {kControlPort, DataPort(1), DataPort(2)}) {
    EXPECT_FALSE(Listening(port)) << port;
  }
  EXPECT_TRUE(data->Closed());
  EXPECT_TRUE(control.Closed());
  // A second stop, and the destructor's, find nothing left to do.
  server_->Stop();
}

}  // namespace
}  // namespace qmx::test
