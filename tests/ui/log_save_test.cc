// The two log windows and "Save setup".
#include <QCheckBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <filesystem>
#include <mutex>

#include "engine/line_table.h"
#include "ui/ui_harness.h"

namespace qmx::ui::test {
namespace {

class UiLogWindows : public UiTest {
 protected:
  // Opens a log window with its button: its lines, and whether it opened
  // scrolled to the end (1), at the top (0) or with nothing to scroll (-1).
  QStringList OpenLog(int id, int* scrolled) {
    QStringList lines;
    EXPECT_EQ(1, WithModals([&] { Click(id); },
                            [&](QWidget* modal) {
                              auto* box = modal->findChild<QPlainTextEdit*>();
                              const QScrollBar* bar = box->verticalScrollBar();
                              *scrolled = bar->maximum() == 0              ? -1
                                          : bar->value() == bar->maximum() ? 1
                                                                           : bar->value();
                              EXPECT_TRUE(box->isReadOnly());
                              EXPECT_EQ(modal->focusWidget(),
                                        Control<QWidget>(modal, IDOK));
                              lines = box->toPlainText().split('\n');
                              QTest::keyClick(
                                  modal, Qt::Key_Return);  // OK is the default button
                            }));
    return lines;
  }
  void AppendCommands(int from, int to) {
    MutexLock lock(Table().engineLock);
    for (int i = from; i < to; ++i)
      doc()->AppendCommandLog("cmd " + std::to_string(i) + "\r\n");
  }
};

TEST_F(UiLogWindows, CommandLogListsOldestFirstAndOpensAtItsEnd) {
  Start(nullptr);
  int scrolled = 0;
  AppendCommands(0, 999);  // the ring has wrapped; slot 999 is still empty
  QStringList lines = OpenLog(IDC_COMMAND_LOG, &scrolled);
  ASSERT_EQ(lines.size(), 1000);  // and the empty line after the last entry
  EXPECT_EQ(lines.front() + lines[998], "cmd 0cmd 998");
  EXPECT_EQ(scrolled, 1);

  AppendCommands(999, 1005);
  lines = OpenLog(IDC_COMMAND_LOG, &scrolled);
  ASSERT_EQ(lines.size(), 1001);
  EXPECT_EQ(lines.front() + lines[999], "cmd 5cmd 1004");
  EXPECT_EQ(scrolled, 1);
}

TEST_F(UiLogWindows, ErrorLogShowsOneEntryPerLineFromItsBeginning) {
  MissingDevice("com1");
  SetupFile file;
  file.Use(1, "com1");
  Start(&file);
  int scrolled = 0;
  {
    MutexLock lock(Table().engineLock);
    Table().AppendErrorLog("second");  // entries have no line end of their own
  }
  EXPECT_EQ(
      OpenLog(IDC_ERROR_LOG, &scrolled),
      QStringList({"com1 open failure: com1: No such file or directory", "second", ""}));
  {
    MutexLock lock(Table().engineLock);
    for (int i = 0; i < 1003; ++i) Table().AppendErrorLog("entry " + std::to_string(i));
  }
  QStringList lines = OpenLog(IDC_ERROR_LOG, &scrolled);
  ASSERT_EQ(lines.size(), 1001);
  EXPECT_EQ(lines.front() + lines[999], "entry 3entry 1002");
  EXPECT_EQ(scrolled, 0);
}

class UiSaveSetup : public UiTest {};

TEST_F(UiSaveSetup, SavesTheAppliedLineTableNotTheFormFields) {
  SetupFile file;
  const std::string data = std::to_string(file.Use(1));
  Start(&file);
  Find<QComboBox>(TcpBox(1))->setCurrentIndex(0);  // "unused", not applied yet
  Find<QCheckBox>(IDC_MINIMIZE)->setChecked(true);
  EXPECT_EQ(WithModals([&] { Click(IDC_SAVE_SETUP); }, [](QWidget*) {}), 0);
  std::string text = ReadWholeFile("qmx.txt");
  EXPECT_NE(text.find("\r\n" + data + ",unused\t\r\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("\r\n0\t\r\n"));

  Click(IDC_CORV_OK);
  EXPECT_EQ(WithModals([&] { Click(IDC_SAVE_SETUP); }, [](QWidget*) {}), 0);
  SetupFile applied = file;
  applied.tcp[1] = "unused";
  applied.minimize = "1";
  EXPECT_EQ(ReadWholeFile("qmx.txt"), applied.Text());
}

TEST_F(UiSaveSetup, FailedSaveShowsExactlyOneMessageBox) {
  SetupFile file;
  Start(&file);
  std::filesystem::remove("qmx.txt");
  std::filesystem::create_directory("qmx.txt");  // cannot be written, even by root
  EXPECT_EQ(1, WithModals([&] { Click(IDC_SAVE_SETUP); },
                          [](QWidget* modal) {
                            auto* box = qobject_cast<QMessageBox*>(modal);
                            ASSERT_NE(box, nullptr);
                            EXPECT_EQ(box->text(),
                                      QString::fromUtf8("QMX\u3000Cann't open qmx.txt"));
                            EXPECT_EQ(box->icon(), QMessageBox::Information);
                            EXPECT_EQ(box->windowTitle(), "qmx");
                            box->button(QMessageBox::Ok)->click();
                          }));
  EXPECT_TRUE(std::filesystem::is_directory("qmx.txt"));
}

}  // namespace
}  // namespace qmx::ui::test
