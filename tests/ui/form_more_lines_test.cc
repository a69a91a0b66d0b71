// A server with sixteen data lines: the form has a row for each, below the
// eighth's in the same layout, and scrolls to them; OK applies them; the
// "Serial setup" menu offers every port.
#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QTest>
#include <map>
#include <mutex>

#include "engine/line_table.h"
#include "net/socket_layer.h"
#include "tls/tls_credentials.h"
#include "tls/tls_test_certificates.h"
#include "ui/dialog_units.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

constexpr int kLines = 16;

class UiMoreLines : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    MakeServer(kLines);
  }
  void StartSixteen(SetupFile& file) {
    file.dataLines = kLines;
    Start(&file);
  }
  QStringList Entries(int comboId) const {
    QStringList list;
    for (int i = 0; i < Find<QComboBox>(comboId)->count(); ++i)
      list << Find<QComboBox>(comboId)->itemText(i);
    return list;
  }
  // Whether any of the control `id` shows in the frame's scroll area now.
  bool InView(int id) const {
    QWidget* viewport = frame()->findChild<QScrollArea*>()->viewport();
    QWidget* control = Find(id);
    return viewport->rect().intersects(
        QRect(control->mapTo(viewport, QPoint(0, 0)), control->size()));
  }
  // Presses Tab where the focus is; true when it lands on control `id`.
  bool TabTo(int id) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    return Find(id)->hasFocus();
  }
};

TEST_F(UiMoreLines, RowsPastTheEighthShowApplyAndScrollIntoView) {
  TlsCredentials tls(tls_test::Certificate("server.crt"),
                     tls_test::Certificate("server.key"), "");
  std::string failure;
  ASSERT_TRUE(tls.Load(&failure)) << failure;
  LineSet tlsLines;
  tlsLines.set(15);
  Table().net.SetConnectionMaker(tlsLines, tls.Maker());
  PtyDevice com16("com16");
  MissingDevice("com10");
  SetupFile file;
  const int failed = file.Use(10, "com10");
  file.Use(11, "com1");  // not its own port: the line has nothing to do
  StartSixteen(file);

  EXPECT_EQ(QStringList({Shows(TcpBox(10)), Shows(SerialBox(10)), Shows(StatusBox(10))}),
            QStringList({QString::number(failed), "com10", "NG"}));
  // "com1" is not taken for the list's "com11".
  EXPECT_EQ(Shows(SerialBox(11)), "com1");
  EXPECT_EQ(Shows(StatusBox(16)), "unused");
  QWidget* form = Find(IDD_CORV_FORM);
  EXPECT_TRUE(form->findChild<QLabel*>(TlsMarkName(15))->isVisible());
  EXPECT_FALSE(form->findChild<QLabel*>(TlsMarkName(16))->isVisible());

  // Every row offers its own port and copies of all sixteen.
  EXPECT_EQ(Entries(TcpBox(16)), QStringList({"unused", TcpDefaultPortText(16)}));
  const QStringList serial16 = Entries(SerialBox(16));
  EXPECT_EQ(serial16.size(), 17);
  EXPECT_EQ(serial16.mid(0, 3), QStringList({"unused", "com16", "receive com1"}));
  EXPECT_EQ(serial16.back(), "receive com15");
  EXPECT_TRUE(Entries(SerialBox(1)).contains("receive com16"));

  // The rows continue the eight-line layout downward, traffic fields too.
  const DialogUnits u(DialogFont());
  EXPECT_EQ(form->height(), u.Y(291 + 30 * 8));
  std::map<QString, QRect> groups;
  for (QGroupBox* group : form->findChildren<QGroupBox*>())
    groups[group->title()] = group->geometry();
  EXPECT_EQ(groups.size(), 18u);
  for (int line : {9, 16}) {
    SCOPED_TRACE(line);
    const int top = 15 + 30 * line;
    EXPECT_EQ(groups[QString("Data Line %1").arg(line)], u.Rect({5, top, 145, 30}));
    EXPECT_EQ(Find(TcpBox(line))->pos(), u.Rect({10, top + 10, 40, 14}).topLeft());
    EXPECT_EQ(Find(SerialBox(line))->pos(), u.Rect({55, top + 10, 55, 14}).topLeft());
    EXPECT_EQ(Find(StatusBox(line))->geometry(), u.Rect({115, top + 10, 30, 14}));
    EXPECT_EQ(Find(ClientBox(line))->y(), Find(StatusBox(line))->y());
  }

  // The frame shows as much as an eight-line server's, the whole width, and
  // scrolls: tabbing past the eighth row brings the further ones into view.
  QWidget* viewport = frame()->findChild<QScrollArea*>()->viewport();
  EXPECT_EQ(viewport->height(), u.Y(291));
  EXPECT_GE(viewport->width(), form->width());
  EXPECT_FALSE(InView(StatusBox(16)));
  frame()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(frame()));
  Find(SerialBox(8))->setFocus();
  EXPECT_TRUE(TabTo(TcpBox(9)));
  Find(SerialBox(15))->setFocus();
  EXPECT_TRUE(TabTo(TcpBox(16)));
  EXPECT_TRUE(InView(StatusBox(16)));
  EXPECT_TRUE(TabTo(SerialBox(16)));
  EXPECT_TRUE(TabTo(IDC_MINIMIZE));

  // OK applies a row past the eighth as any other.
  const int port16 = FreeTcpPort();
  Type(TcpBox(16), QString::number(port16));
  Find<QComboBox>(SerialBox(16))->setCurrentIndex(1);  // com16
  Click(IDC_CORV_OK);
  EXPECT_EQ(Shows(StatusBox(16)), "OK");
  TcpClient client(port16);
  ASSERT_TRUE(client.Send("to 16"));
  EXPECT_EQ(com16.Read(5), "to 16");
  EXPECT_TRUE(QTest::qWaitFor([&] { return Tip(ToDeviceBox(16)) == "5 bytes"; }, 10000));
}

TEST_F(UiMoreLines, SerialSetupOffersEveryPortAndIdsNameOneThingEach) {
  SetupFile file;
  file.com[15] = "com16,19200,e,7,2,h";
  StartSixteen(file);

  QStringList texts;
  for (QAction* menu : frame()->menuBar()->actions()) {
    if (menu->text() != "Serial setup(&S)") continue;
    for (QAction* action : menu->menu()->actions()) texts << action->text();
  }
  ASSERT_EQ(texts.size(), kLines);
  EXPECT_EQ(QStringList({texts[0], texts[8], texts[15]}),
            QStringList({"com1(&1)...", "com9(&9)...", "com16..."}));

  EXPECT_EQ(
      1, WithModals([&] { Trigger(SetupComId(15)); },
                    [](QWidget* modal) {
                      QStringList values{Control<QLineEdit>(modal, IDC_PORT)->text()};
                      for (int id : {IDC_BAUD, IDC_DATA, IDC_PARITY, IDC_STOP, IDC_FLOW})
                        values << Control<QComboBox>(modal, id)->currentText();
                      EXPECT_EQ(values, QStringList({"com16", "19200", "7", "even", "2",
                                                     "hardware"}));
                      auto* baud = Control<QComboBox>(modal, IDC_BAUD);
                      baud->setCurrentIndex(baud->findText("9600"));
                      Control<QPushButton>(modal, IDC_COMSET_OK)->click();
                    }));
  {
    MutexLock lock(Table().engineLock);
    EXPECT_EQ(std::string(Table().comSettings[15].definition), "9600,e,7,2");
  }

  // The form's controls and the menu commands: no id twice.
  QSet<QString> ids;
  QStringList names;
  for (QWidget* widget : Find(IDD_CORV_FORM)->findChildren<QWidget*>())
    names << widget->objectName();
  for (QAction* action : frame()->findChildren<QAction*>()) names << action->objectName();
  for (const QString& name : names) {
    bool numeric = false;
    name.toInt(&numeric);
    if (!numeric) continue;
    EXPECT_FALSE(ids.contains(name)) << name.toStdString();
    ids << name;
  }
  EXPECT_GE(ids.size(), 17 * 6 - 1 + kLines);
}

}  // namespace
}  // namespace qmx::ui::test
