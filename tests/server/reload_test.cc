// Reloading qmx.txt into a running server, against fake devices and clients:
// what changed in the file is applied where it shows (the device's settings,
// DTR and opens, who listens, which port a copy line copies), what did not
// change is left alone, and a change that fails is tried again next time.
#include <string>
#include <vector>

#include "engine/settings_reload.h"
#include "fake_server.h"
#include "testsupport/wait_for.h"

namespace qmx::test {
namespace {

using testsupport::WaitFor;

class Reload : public FakeServer {
 protected:
  ~Reload() override {
    if (server_ != nullptr) server_->Table().sessionLog.SetListener(nullptr);
  }

  void StartLogged() {
    Start();
    server_->Table().sessionLog.SetListener([this](LogPriority, const std::string& text) {
      MutexLock lock(logMutex_);
      log_ += text + "\n";
    });
  }
  // Line `fileLine` (1-based) of qmx.txt becomes `text`.
  void SetFileLine(int fileLine, const std::string& text) {
    std::string file = dir_.ReadFile("qmx.txt");
    size_t at = 0;
    for (int i = 1; i < fileLine; ++i) at = file.find("\r\n", at) + 2;
    file.replace(at, file.find("\r\n", at) - at, text);
    ASSERT_TRUE(dir_.WriteFile("qmx.txt", file));
  }
  ReloadOutcome Reloaded() { return ReloadSetupFile(server_->Table()); }
  bool Logged(const std::string& text) {
    MutexLock lock(logMutex_);
    return log_.find(text) != std::string::npos;
  }
  std::string Log() {
    MutexLock lock(logMutex_);
    return log_;
  }

 private:
  Mutex logMutex_;
  std::string log_ GUARDED_BY(logMutex_);
};

TEST_F(Reload, APortLineIsSetUpInPlaceOrKeptForTheNextOpenAndARefusalIsRetried) {
  auto com1 = Bridge(1);
  serial[2] = "com2";  // its device is not there yet: the port waits for it
  StartLogged();
  auto client = Connect(DataPort(1));
  ASSERT_NE(client, nullptr);

  SetFileLine(11, "com1,19200,e,7,2,h");
  SetFileLine(12, "com2,4800,o,8,1,x");
  EXPECT_EQ(Reloaded(), ReloadOutcome::kApplied);
  EXPECT_EQ(com1->Opens(), 1);
  EXPECT_TRUE(com1->Dtr());
  EXPECT_EQ(com1->Settings().baud, 19200);
  EXPECT_EQ(com1->Settings().dataBits, 7);
  EXPECT_EQ(com1->Flow(), FlowControl::kHardware);
  client->Send("kept");
  EXPECT_TRUE(com1->WaitForWritten(4));
  auto com2 = Plug(2);
  EXPECT_TRUE(WaitFor([&] { return com2->IsOpen(); }));
  EXPECT_EQ(com2->Settings().baud, 4800);
  EXPECT_TRUE(Logged("com2,9600,n,8,1,n -> com2,4800,o,8,1,x: for its next open"))
      << Log();

  devices_.RefuseSettings(DevicePath(1), true);
  SetFileLine(11, "com1,300,n,8,1,n");
  Reloaded();
  EXPECT_TRUE(Logged("the port could not take it; it keeps com1,19200,e,7,2,h")) << Log();
  EXPECT_EQ(com1->Settings().baud, 19200);
  devices_.RefuseSettings(DevicePath(1), false);
  EXPECT_EQ(Reloaded(), ReloadOutcome::kApplied);  // the same file, tried again
  EXPECT_EQ(com1->Settings().baud, 300);
  EXPECT_EQ(com1->Opens(), 1);
  EXPECT_EQ(Reloaded(), ReloadOutcome::kUnchanged);
}

TEST_F(Reload, TheControlLineStaysWhereItListensUntilItsNewPortIsFree) {
  StartLogged();
  Control();
  network_.Take(7190, true);
  SetFileLine(2, "7190");
  EXPECT_EQ(Reloaded(), ReloadOutcome::kApplied);
  EXPECT_TRUE(Listening(kControlPort));
  EXPECT_FALSE(Listening(7190));
  EXPECT_TRUE(
      Logged("cannot listen on TCP port 7190 (see the error above); it stays on " +
             std::to_string(kControlPort)))
      << Log();
  network_.Take(7190, false);
  EXPECT_EQ(Reloaded(), ReloadOutcome::kApplied);
  EXPECT_TRUE(Listening(7190));
  EXPECT_FALSE(Listening(kControlPort));
}

// Lines trade TCP ports, a port takes another's name, and the copy line
// whose text did not change follows its port to the slot it now has, rather
// than copying whatever the old slot holds.
TEST_F(Reload, LinesTradePortsAndACopyLineFollowsItsPortToItsNewSlot) {
  auto com1 = Bridge(1);
  auto com2 = Bridge(2);
  serial[3] = "receive com1";
  StartLogged();
  auto copy = Connect(DataPort(3));
  ASSERT_NE(copy, nullptr);

  devices_.Plug("/dev/ttyS8");
  auto com9 = devices_.End("/dev/ttyS8");
  // Data line 1 serves com9 on line 2's TCP port; data line 2 serves com1
  // (port slot 2 now) on line 1's.
  SetFileLine(3, std::to_string(DataPort(2)) + ",com9");
  SetFileLine(11, "com9,9600,n,8,1,n");
  SetFileLine(4, std::to_string(DataPort(1)) + ",com1");
  SetFileLine(12, "com1,9600,n,8,1,n");
  EXPECT_EQ(Reloaded(), ReloadOutcome::kApplied) << Log();
  EXPECT_EQ(LineStatus(1), "OK");
  EXPECT_EQ(LineStatus(2), "OK");
  EXPECT_TRUE(com9->IsOpen());
  EXPECT_TRUE(com1->IsOpen());
  EXPECT_FALSE(com2->IsOpen());

  auto client = Connect(DataPort(1));  // now data line 2, on com1
  ASSERT_NE(client, nullptr);
  client->Send("x");
  EXPECT_TRUE(com1->WaitForWritten(1));
  com9->Feed("not for the copy");
  com1->Feed("copied");
  EXPECT_TRUE(ReceivedUntil(*copy, [](const std::string& s) {
    return s.find("copied") != std::string::npos;
  })) << Log();
  EXPECT_EQ(copy->Received().find("not for the copy"), std::string::npos);
  EXPECT_TRUE(Logged("data line 3 copies com1 in its new place: OK")) << Log();
}

}  // namespace
}  // namespace qmx::test
