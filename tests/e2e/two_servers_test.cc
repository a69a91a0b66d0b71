// Two servers in one process, each in its own folder on its own TCP ports:
// neither sees the other's settings, devices, clients or stop.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "harness.h"
#include "server/server.h"

namespace qmx::test {
namespace {

// One server with its folder, its settings and an echoing device of its own
// named com1 in that folder, on free ports.
struct FolderServer {
  explicit FolderServer(const char* name) : dir(name, ScratchDir::Enter::kNo) {
    control = FreeTcpPort();
    data = FreeTcpPort();
    std::string error;
    device = PtyDevice::Create(dir.path() + "/com1", Play::kSelf, &error);
    EXPECT_TRUE(device) << error;
    Settings s;
    s.control = std::to_string(control);
    s.tcp[1] = std::to_string(data);
    s.serial[1] = "com1";
    EXPECT_TRUE(dir.WriteFile("qmx.txt", s.Text()));
    server = std::make_unique<Server>(dir.path());
    // Lines the file leaves unused keep ports of their own, away from the
    // defaults a demo may hold.
    for (TcpLine& line : server->Table().net.tcpLines) {
      CopyField(line.port, std::to_string(FreeTcpPort()));
    }
  }

  // Bytes both ways through line 1: the client's reach this server's
  // device, the device's reach the client.
  void ExpectRelays(TcpClient& client, const std::string& tag) {
    ASSERT_TRUE(client.Send("to " + tag));
    EXPECT_EQ(device->Read(3 + tag.size()), "to " + tag);
    ASSERT_TRUE(device->Write("from " + tag));
    EXPECT_EQ(client.ReadCount(5 + tag.size()), "from " + tag);
  }

  ScratchDir dir;
  int control = 0;
  int data = 0;
  std::unique_ptr<PtyDevice> device;
  std::unique_ptr<Server> server;
};

TEST(TwoServers, EachRelaysItsOwnFolderAndOneStopsWhileTheOtherGoesOn) {
  FolderServer a("qmx-server-a");
  FolderServer b("qmx-server-b");
  ASSERT_TRUE(a.device && b.device);
  ASSERT_EQ(a.server->Start(), Server::StartResult::kServing);
  ASSERT_EQ(b.server->Start(), Server::StartResult::kServing);

  ControlClient controlA(a.control);
  ControlClient controlB(b.control);
  EXPECT_NE(controlA.Command("status").find("1:" + std::to_string(a.data) + "-com1 OK"),
            std::string::npos);
  EXPECT_NE(controlB.Command("status").find("1:" + std::to_string(b.data) + "-com1 OK"),
            std::string::npos);

  TcpClient clientA(a.data);
  TcpClient clientB(b.data);
  ASSERT_TRUE(clientA.connected() && clientB.connected());
  a.ExpectRelays(clientA, "a");
  b.ExpectRelays(clientB, "b");
  // Nothing crossed over: each device got exactly its own client's bytes.
  EXPECT_EQ(a.device->Read(1, std::chrono::milliseconds(200)), "");
  EXPECT_EQ(b.device->Read(1, std::chrono::milliseconds(200)), "");

  // A command on one server changes that server alone.
  EXPECT_NE(controlA.Command("close com1").find("200"), std::string::npos);
  EXPECT_TRUE(clientA.WaitClosed());
  b.ExpectRelays(clientB, "b again");

  a.server->Stop();
  EXPECT_FALSE(Listening(a.control));
  EXPECT_TRUE(controlA.WaitClosed());
  b.ExpectRelays(clientB, "b after a stopped");
  EXPECT_TRUE(Listening(b.control));
  b.server->Stop();
  EXPECT_TRUE(clientB.WaitClosed());
}

TEST(TwoServers, AFolderThatIsNotThereKeepsTheServerFromStarting) {
  ScratchDir dir("qmx-server-missing", ScratchDir::Enter::kNo);
  Server server(dir.path() + "/nothing here");
  EXPECT_NE(server.FolderProblem().find("No such file or directory"), std::string::npos);
  EXPECT_EQ(server.Start(), Server::StartResult::kNoFolder);
}

}  // namespace
}  // namespace qmx::test
