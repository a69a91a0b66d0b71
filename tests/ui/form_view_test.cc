// The form view against a running server: OK applies the changed and the
// failed lines and nothing else; Cancel and the refresh drop unapplied edits;
// the combo boxes' typing rules.
#include <QCheckBox>
#include <QTest>
#include <mutex>
#include <string_view>
#include <thread>

#include "engine/line_table.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiFormView : public UiTest {};

// Data flows both ways between a data-line client and its device.
void ExpectBridged(TcpClient& client, PtyDevice& device, const std::string& tag) {
  client.Send("to " + tag);
  EXPECT_EQ(device.Read(3 + tag.size()), "to " + tag);
  device.Write("from " + tag);
  EXPECT_TRUE(client.Receives("from " + tag));
}

TEST_F(UiFormView, OkWithNothingChangedReappliesExactlyTheFailedLines) {
  PtyDevice com2("com2");
  MissingDevice("com3");
  SetupFile file;
  const int control = file.Use(0);
  const int copy = file.Use(1, "receive com3");  // com3's device is absent: fails
  const int bridged = file.Use(2, "com2");
  const int late = file.Use(3, "com3");  // its device comes later
  Start(&file);
  ASSERT_EQ(QStringList({Shows(StatusBox(1)), Shows(StatusBox(2)), Shows(StatusBox(3))}),
            QStringList({"NG", "OK", "NG"}));
  TcpClient controlClient(control);
  ASSERT_TRUE(controlClient.Receives("ready\r\n"));
  TcpClient client2(bridged);
  ExpectBridged(client2, com2, "a");
  PtyDevice com3("com3");

  Click(IDC_CORV_OK);
  const QStringList status{Shows(StatusBox(0)), Shows(StatusBox(1)), Shows(StatusBox(2)),
                           Shows(StatusBox(3))};
  EXPECT_EQ(status, QStringList({"OK", "OK", "OK", "OK"}));
  // The lines in service kept their clients; the failed ones work now.
  ExpectBridged(client2, com2, "b");
  controlClient.Send("hello\r");
  EXPECT_TRUE(controlClient.Receives("220 "));
  TcpClient client1(copy);
  TcpClient client3(late);
  ExpectBridged(client3, com3, "c");
  ASSERT_TRUE(QTest::qWaitFor([this] { return Table().net.TcpClientFd(1) >= 0; },
                              10000));  // accepted
  com3.Write("copied");
  EXPECT_TRUE(client1.Receives("copied"));
}

TEST_F(UiFormView, UnusedDataLineClosesItsListenerAndPort) {
  PtyDevice com1("com1");
  SetupFile file;
  const int data = file.Use(1, "com1");
  Start(&file);
  TcpClient client(data);
  ExpectBridged(client, com1, "x");

  // The line is taken down by the relay thread, as a command would be; the
  // window thread only waits for the answer.
  std::mutex traceMutex;
  std::thread::id closedOn;
  SetTraceSink([&](std::string_view text) {
    if (text.find("DataServer1 TcpDisconnect OK") == std::string_view::npos) return;
    std::lock_guard lock(traceMutex);
    closedOn = std::this_thread::get_id();
  });
  Find<QComboBox>(TcpBox(1))->setCurrentIndex(0);  // "unused"
  Click(IDC_CORV_OK);
  SetTraceSink(nullptr);
  EXPECT_EQ(Shows(StatusBox(1)), "unused");
  {
    std::lock_guard lock(traceMutex);
    EXPECT_NE(closedOn, std::thread::id());
    EXPECT_NE(closedOn, std::this_thread::get_id());
  }
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_FALSE(Listening(data));
  EXPECT_TRUE(com1.WaitHangup());
}

TEST_F(UiFormView, MinimizeAloneTouchesNoLine) {
  PtyDevice com1("com1");
  SetupFile file;
  const int control = file.Use(0);
  const int data = file.Use(1, "com1");
  Start(&file);
  TcpClient controlClient(control);
  ASSERT_TRUE(controlClient.Receives("ready\r\n"));
  TcpClient client(data);
  ExpectBridged(client, com1, "1");

  Find<QCheckBox>(IDC_MINIMIZE)->setChecked(true);
  Click(IDC_CORV_OK);
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(Table().startMinimized, 1);
  }
  ExpectBridged(client, com1, "2");
  controlClient.Send("hello\r");
  EXPECT_TRUE(controlClient.Receives("220 "));
  EXPECT_EQ(ReadWholeFile("qmx.txt"), file.Text());  // OK does not save
}

TEST_F(UiFormView, UnappliedEditIsLostOnRefreshAndOnCancel) {
  SetupFile file;
  const int control = file.Use(0);
  const QString applied = QString::number(file.Use(1));
  Start(&file);

  Type(TcpBox(1), "9999");
  ASSERT_EQ(Shows(TcpBox(1)), "9999");
  TcpClient controlClient(control);  // its greeting asks the window to reload
  ASSERT_TRUE(controlClient.Receives("ready\r\n"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Shows(TcpBox(1)) == applied; }, 10000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Table().refreshNeeded.load() == 0; }, 10000));

  Type(TcpBox(1), "9998");
  Type(SerialBox(2), "receive com1");
  Find<QCheckBox>(IDC_MINIMIZE)->setChecked(true);
  Click(IDC_CORV_CANCEL);
  EXPECT_EQ(QStringList({Shows(TcpBox(1)), Shows(SerialBox(2))}),
            QStringList({applied, "unused"}));
  EXPECT_FALSE(Find<QCheckBox>(IDC_MINIMIZE)->isChecked());
  MutexLock lock(Table().engineLock);
  EXPECT_EQ(QString::fromStdString(Table().tcpPortText[1]), applied);
}

TEST_F(UiFormView, CapitalsStayOnlyInDataLineOneSerialBox) {
  PtyDevice com1("com1");
  SetupFile file;
  file.Use(1);
  Start(&file);
  Type(SerialBox(1), "COM1");
  Type(SerialBox(2), "RECEIVE COM1");
  Type(TcpBox(0), "UNUSED");
  EXPECT_EQ(QStringList({Shows(SerialBox(1)), Shows(SerialBox(2)), Shows(TcpBox(0))}),
            QStringList({"COM1", "receive com1", "unused"}));

  // OK applies the text as typed: "COM1" is not the port's name, so the line
  // has nothing to do. The box then shows the list entry beginning with the
  // text, and the next OK applies that entry.
  Click(IDC_CORV_OK);
  EXPECT_EQ(Shows(StatusBox(1)), "");
  EXPECT_EQ(Shows(SerialBox(1)), "com1");
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(Table().serialPortText[1], "COM1");
  }
  Click(IDC_CORV_OK);
  EXPECT_EQ(Shows(StatusBox(1)), "OK");
}

}  // namespace
}  // namespace qmx::ui::test
