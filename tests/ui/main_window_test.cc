// The application shell: what the form shows after start-up, its template,
// caption, Ctrl+N, the about box and help, minimized start and exit.
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextBrowser>
#include <QToolBar>
#include <cstdlib>
#include <map>
#include <mutex>

#include "engine/line_table.h"
#include "net/socket_layer.h"
#include "ui/dialog_units.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiMainWindow : public UiTest {};

TEST_F(UiMainWindow, FormShowsLineTableAfterStartup) {
  PtyDevice com1("com1");
  MissingDevice("com3");
  SetupFile file;
  const int control = file.Use(0);
  const int bridged = file.Use(1, "com1");
  file.Use(2, "receive com1");
  const int failed = file.Use(3, "com3");
  const int foreign = file.Use(4, "com5");  // not line 4's own port: nothing to do
  Start(&file);

  EXPECT_EQ(Shows(TcpBox(0)), QString::number(control));
  EXPECT_EQ(Shows(TcpBox(1)), QString::number(bridged));
  // "com1", picked from the list
  EXPECT_EQ(Find<QComboBox>(SerialBox(1))->currentIndex(), 1);
  EXPECT_EQ(Shows(SerialBox(2)), "receive com1");
  EXPECT_EQ(Shows(SerialBox(4)), "com5");
  EXPECT_EQ(Shows(SerialBox(8)), "unused");
  const QStringList status{Shows(StatusBox(0)), Shows(StatusBox(1)), Shows(StatusBox(2)),
                           Shows(StatusBox(3)), Shows(StatusBox(4)), Shows(StatusBox(5))};
  EXPECT_EQ(status, QStringList({"OK", "OK", "OK", "NG", "", "unused"}));
  EXPECT_FALSE(Find<QCheckBox>(IDC_MINIMIZE)->isChecked());
  EXPECT_EQ(frame()->focusWidget(), Find(IDC_CORV_OK));
  EXPECT_TRUE(Listening(control) && Listening(bridged));
  EXPECT_FALSE(Listening(failed) || Listening(foreign));
}

TEST_F(UiMainWindow, MissingSettingsFileStartsQuietlyWithEveryLineUnused) {
  EXPECT_EQ(WithModals([&] { Start(nullptr); }, [](QWidget*) {}), 0);
  for (int line = 0; line < 9; ++line) {
    EXPECT_EQ(Shows(kFormLines[line].tcpId), "unused");
    EXPECT_EQ(Shows(kFormLines[line].statusId), "");
  }
  MutexLock lock(Table().engineLock);
  EXPECT_EQ(Table().ErrorLogListing(),
            std::vector<std::string>{
                "QMX\u3000Cann't open qmx.txt: No such file or directory"});
}

TEST_F(UiMainWindow, FormFollowsItsTemplate) {
  Start(nullptr);
  auto entries = [&](int id) {
    QStringList list;
    for (int i = 0; i < Find<QComboBox>(id)->count(); ++i)
      list << Find<QComboBox>(id)->itemText(i);
    return list;
  };
  EXPECT_EQ(entries(TcpBox(8)), QStringList({"unused", TcpDefaultPortText(8)}));
  // Each data line offers copies of the other ports; line 4 also of its own.
  EXPECT_FALSE(entries(SerialBox(2)).contains("receive com2"));
  EXPECT_EQ(entries(SerialBox(2)).mid(0, 3),
            QStringList({"unused", "com2", "receive com1"}));
  EXPECT_EQ(entries(SerialBox(4)).size(), 10);
  EXPECT_TRUE(entries(SerialBox(4)).contains("receive com4"));

  // Keyboard order; the read-only status boxes are not in it.
  const int order[] = {TcpBox(0),      TcpBox(1),     SerialBox(1),   TcpBox(2),
                       SerialBox(2),   TcpBox(3),     SerialBox(3),   TcpBox(4),
                       SerialBox(4),   TcpBox(5),     SerialBox(5),   TcpBox(6),
                       SerialBox(6),   TcpBox(7),     SerialBox(7),   TcpBox(8),
                       SerialBox(8),   IDC_MINIMIZE,  IDC_CORV_OK,    IDC_CORV_CANCEL,
                       IDC_SAVE_SETUP, IDC_ERROR_LOG, IDC_COMMAND_LOG};
  QWidget* at = Find(order[0]);
  for (size_t i = 1; i < std::size(order); ++i) {
    do at = at->nextInFocusChain();
    while (!(at->focusPolicy() & Qt::TabFocus) || at->objectName().isEmpty());
    EXPECT_EQ(at->objectName().toInt(), order[i]);
  }
  auto* status = Find<QLineEdit>(StatusBox(8));
  EXPECT_TRUE(status->isReadOnly() && (status->alignment() & Qt::AlignHCenter));

  // The frame shows the whole form, with no toolbar or status bar.
  QWidget* form = Find(IDD_CORV_FORM);
  EXPECT_GE(form->parentWidget()->width(), form->width());
  EXPECT_GE(form->parentWidget()->height(), form->height());
  EXPECT_EQ(frame()->findChild<QToolBar*>(), nullptr);
  EXPECT_EQ(frame()->findChild<QStatusBar*>(), nullptr);
}

// The template's places, in dialog units, written out here rather than read
// from the resources, so that moving a control there shows up.
TEST_F(UiMainWindow, FormControlsKeepTheirTemplatePlaces) {
  Start(nullptr);
  QWidget* form = Find(IDD_CORV_FORM);
  const DialogUnits u(DialogFont());
  EXPECT_EQ(form->height(), u.Y(291));
  EXPECT_GE(form->width(), u.X(212));

  std::map<QString, QRect> groups;
  for (QGroupBox* group : form->findChildren<QGroupBox*>())
    groups[group->title()] = group->geometry();
  EXPECT_EQ(groups.size(), 10u);
  EXPECT_EQ(groups["Window size"], u.Rect({155, 165, 50, 30}));
  for (int line = 0; line < 9; ++line) {
    SCOPED_TRACE(line);
    const int top = 15 + 30 * line;
    const QString title =
        line == 0 ? QString("Control Line") : QString("Data Line %1").arg(line);
    EXPECT_EQ(groups[title], u.Rect({5, top, 145, 30}));
    // A combo box keeps its place and width; its height is its edit field's.
    const QRect tcp = u.Rect({10, top + 10, 40, 14});
    EXPECT_EQ(Find(TcpBox(line))->pos(), tcp.topLeft());
    EXPECT_EQ(Find(TcpBox(line))->width(), tcp.width());
    if (line > 0) {
      const QRect serial = u.Rect({55, top + 10, 55, 14});
      EXPECT_EQ(Find(SerialBox(line))->pos(), serial.topLeft());
      EXPECT_EQ(Find(SerialBox(line))->width(), serial.width());
    }
    EXPECT_EQ(Find(StatusBox(line))->geometry(), u.Rect({115, top + 10, 30, 14}));
  }

  // Static texts may grow to the right to fit their text.
  const std::pair<QString, DluRect> labels[] = {{"TCP/IP Port", {10, 5, 37, 8}},
                                                {"Serial Port", {65, 5, 32, 8}},
                                                {"Status", {120, 5, 25, 8}}};
  for (const auto& [text, rect] : labels) {
    QLabel* label = nullptr;
    for (QLabel* each : form->findChildren<QLabel*>())
      if (each->text() == text) label = each;
    ASSERT_NE(label, nullptr) << text.toStdString();
    const QRect want = u.Rect(rect);
    EXPECT_EQ(label->pos(), want.topLeft()) << text.toStdString();
    EXPECT_EQ(label->height(), want.height());
    EXPECT_GE(label->width(), want.width());
  }
  // Buttons may grow about their centre to fit their text.
  const int buttons[] = {IDC_CORV_OK, IDC_CORV_CANCEL, IDC_SAVE_SETUP, IDC_ERROR_LOG,
                         IDC_COMMAND_LOG};
  for (int i = 0; i < 5; ++i) {
    const int id = buttons[i];
    const QRect want = u.Rect({155, 20 + 30 * i, 50, 20});
    const QRect at = Find(id)->geometry();
    EXPECT_EQ(QList<int>({at.top(), at.height()}),
              QList<int>({want.top(), want.height()}))
        << id;
    EXPECT_LE(std::abs(at.center().x() - want.center().x()), 1) << id;
    EXPECT_GE(at.width(), want.width()) << id;
  }
  EXPECT_EQ(Find(IDC_MINIMIZE)->geometry(), u.Rect({160, 180, 41, 10}));
}

TEST_F(UiMainWindow, CtrlNKeepsCaptionCommandLogAndRelayThread) {
  SetupFile file;
  const int control = file.Use(0);
  Start(&file);
  TcpClient client(control);
  EXPECT_EQ(frame()->windowTitle(), "QMX Server - QMX");
  ASSERT_TRUE(client.Receives("QMX ver2.01 ready\r\n"));
  client.Send("hello\r");
  ASSERT_TRUE(client.Receives("220 QMX ver2.01 ready\r\n"));

  frame()->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(frame()));
  QTest::keyClick(frame(), Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(frame()->windowTitle(), "QMX Server - QMX");
  client.Send("hello\r");
  ASSERT_TRUE(client.Receives("220 QMX ver2.01 ready\r\n"));
  auto listing = [&] {
    MutexLock lock(Table().engineLock);
    return doc()->CommandLogListing();
  };
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return listing().size() == 5; }, 10000));  // logged once sent
  auto log = listing();
  EXPECT_EQ(log[0], "QMX ver2.01 ready\r\n");
  EXPECT_EQ(log[3], "hello\r\n");
  for (QAction* action : frame()->findChildren<QAction*>()) {
    EXPECT_NE(action->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_NE(action->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
  }
}

TEST_F(UiMainWindow, AboutBoxAndBuiltInHelp) {
  Start(nullptr);
  for (Qt::Key closeKey : {Qt::Key_Escape, Qt::Key_Return}) {
    EXPECT_EQ(1, WithModals([&] { Trigger(ID_APP_ABOUT); },
                            [&](QWidget* about) {
                              EXPECT_EQ(about->windowTitle(), "About QMX");
                              QStringList texts;
                              for (QLabel* label : about->findChildren<QLabel*>())
                                texts << label->text();
                              EXPECT_TRUE(texts.contains("QMX  Version 2.01"));
                              EXPECT_FALSE(
                                  about->findChild<QLabel*>("icon")->pixmap().isNull());
                              EXPECT_EQ(about->findChildren<QPushButton*>().size(), 1);
                              QTest::keyClick(about, closeKey);
                            }));
  }
  EXPECT_EQ(1, WithModals([&] { Trigger(ID_HELP_FINDER); },
                          [&](QWidget* help) {
                            const QString text =
                                help->findChild<QTextBrowser*>()->toPlainText();
                            EXPECT_TRUE(text.contains("receive com1") &&
                                        text.contains("qmx.txt"));
                            QTest::keyClick(help, Qt::Key_Escape);
                          }));
}

TEST_F(UiMainWindow, StartsMinimizedWhenTheSettingsSaySo) {
  SetupFile file;
  file.minimize = "1";
  Start(&file);
  EXPECT_TRUE(frame()->isVisible() && frame()->isMinimized());
  EXPECT_TRUE(Find<QCheckBox>(IDC_MINIMIZE)->isChecked());
}

TEST_F(UiMainWindow, ExitClosesTheWindowAndShutdownClosesEveryLine) {
  PtyDevice com1("com1");
  SetupFile file;
  const int control = file.Use(0);
  const int data = file.Use(1, "com1");
  Start(&file);
  ASSERT_EQ(Shows(StatusBox(1)), "OK");
  Trigger(ID_APP_EXIT);
  EXPECT_FALSE(frame()->isVisible());
  Stop();
  EXPECT_FALSE(Listening(control) || Listening(data));
  EXPECT_TRUE(com1.WaitHangup());
}

}  // namespace
}  // namespace qmx::ui::test
