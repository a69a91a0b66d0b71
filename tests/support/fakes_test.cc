// The fakes of the device and client seams, used as the server would: an
// owner thread waits on the wait handle while the test's thread plays the
// device or the client.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <thread>

#include "testsupport/fakes/fake_connection.h"
#include "testsupport/fakes/fake_device.h"

namespace qmx::testsupport {
namespace {

bool Ready(int fd, short events, int timeoutMs = 10000) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, timeoutMs) == 1;
}

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(FakeDeviceTest, OpensAsTheNameAllows) {
  FakeDeviceOpener opener;
  DeviceOpenResult result;
  auto status = [&] {
    EXPECT_EQ(opener.Open("com1", {}, FlowControl::kNone, &result), nullptr);
    return result.status;
  };
  EXPECT_EQ(status(), DeviceOpenStatus::kAbsent);
  opener.Plug("com1");
  opener.RefuseSettings("com1", true);
  EXPECT_EQ(status(), DeviceOpenStatus::kBadSettings);
  opener.RefuseSettings("com1", false);

  auto device = opener.Open("com1", {19200, Parity::kEven, 7, StopBits::kTwo},
                            FlowControl::kHardware, &result);
  ASSERT_NE(device, nullptr);
  auto end = opener.End("com1");
  EXPECT_EQ(end->Settings().dataBits, 7);
  EXPECT_EQ(end->Flow(), FlowControl::kHardware);
  EXPECT_TRUE(end->Dtr());
  EXPECT_EQ(status(), DeviceOpenStatus::kBusy);
  device.reset();
  EXPECT_FALSE(end->Dtr());
  opener.Busy("com1", true);
  EXPECT_EQ(status(), DeviceOpenStatus::kBusy);
}

TEST(FakeDeviceTest, AnOwnerThreadEchoesFedInputUntilTheDeviceIsUnplugged) {
  FakeDeviceOpener opener;
  opener.Plug("com1");
  auto end = opener.End("com1");
  DeviceOpenResult result;
  auto device = opener.Open("com1", {}, FlowControl::kNone, &result);
  ASSERT_NE(device, nullptr);

  DeviceIo::Kind lastKind = DeviceIo::Kind::kDone;
  std::thread owner([&] {
    uint8_t buffer[64];
    while (Ready(device->WaitHandle(), POLLIN)) {
      const DeviceIo io = device->Read(buffer);
      lastKind = io.kind;
      if (io.kind == DeviceIo::Kind::kGone) return;
      (void)device->WriteNow({buffer, io.count});
    }
  });
  EXPECT_TRUE(end->Feed("ping"));
  EXPECT_TRUE(end->WaitForWritten(4));
  EXPECT_TRUE(end->Feed("pong"));
  EXPECT_TRUE(end->WaitForWritten(8));
  opener.Unplug("com1");
  owner.join();
  EXPECT_EQ(lastKind, DeviceIo::Kind::kGone);
  EXPECT_EQ(end->TakeWritten(), "pingpong");
  EXPECT_FALSE(end->IsOpen());

  // Put back, it opens again while the old device still exists, which stays gone.
  opener.Plug("com1");
  auto again = opener.Open("com1", {}, FlowControl::kNone, &result);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(Ready(again->WaitHandle(), POLLIN, 0));
  EXPECT_EQ(device->WriteNow(Bytes("x")).kind, DeviceIo::Kind::kGone);
  EXPECT_EQ(end->Opens(), 2);
}

TEST(FakeDeviceTest, RoomDecidesWhatIsWrittenAndWhenTheHandleIsWritable) {
  FakeDeviceOpener opener;
  opener.Plug("com1");
  auto end = opener.End("com1");
  end->SetRoom(3);
  DeviceOpenResult result;
  auto device = opener.Open("com1", {}, FlowControl::kNone, &result);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->WriteNow(Bytes("hello")).count, 3u);
  EXPECT_EQ(device->WriteNow(Bytes("lo")).kind, DeviceIo::Kind::kWouldBlock);
  EXPECT_FALSE(Ready(device->WaitHandle(), POLLOUT, 0));

  std::thread owner([&] {
    if (Ready(device->WaitHandle(), POLLOUT)) (void)device->WriteNow(Bytes("lo"));
  });
  end->SetRoom(10);
  owner.join();
  EXPECT_EQ(end->Written(), "hello");
}

TEST(FakeConnectionTest, AnOwnerThreadServesTheClientUntilItsInputEnds) {
  IpAddress peer;
  ASSERT_TRUE(ParseIpAddress("::ffff:192.0.2.9", &peer));
  FakeConnectionPair pair = MakeFakeConnection(peer);
  std::unique_ptr<ClientConnection>& connection = pair.connection;
  FakeClientEnd* client = pair.client.get();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->Name(), "192.0.2.9");

  std::thread owner([&] {
    uint8_t buffer[64];
    while (Ready(connection->WaitHandle(), POLLIN)) {
      const ConnectionIo io = connection->Receive(buffer);
      if (io.kind != ConnectionIo::Kind::kDone) break;
      (void)connection->SendNow({buffer, io.count});
    }
    connection->HalfClose();
  });
  EXPECT_TRUE(client->Send("abc"));
  EXPECT_TRUE(client->WaitForReceived(3));
  EXPECT_TRUE(client->Send("def"));
  client->EndInput();
  owner.join();
  EXPECT_FALSE(client->Send("late"));
  EXPECT_EQ(client->Received(), "abcdef");
  EXPECT_TRUE(client->HalfClosed());
  EXPECT_EQ(connection->SendNow(Bytes("x")).kind, ConnectionIo::Kind::kGone);

  client->Reset();
  uint8_t buffer[8];
  EXPECT_EQ(connection->Receive(buffer).kind, ConnectionIo::Kind::kGone);
  connection.reset();
  EXPECT_TRUE(client->Closed());
}

}  // namespace
}  // namespace qmx::testsupport
