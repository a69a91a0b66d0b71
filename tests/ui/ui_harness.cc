#include "ui/ui_harness.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QTimer>
#include <sstream>

#include "engine/line_table.h"

namespace qmx::ui::test {
namespace {

struct ModalWatch {
  std::function<void(QWidget*)> handle;
  int seen = 0;
  bool done = false;
};

// Runs on each pass of the event loop until the opener returns; the watch is
// shared so that a pass still queued afterwards finds it done.
void LookForModal(const std::shared_ptr<ModalWatch>& watch) {
  if (watch->done) return;
  if (QWidget* modal = QApplication::activeModalWidget()) {
    ++watch->seen;
    watch->handle(modal);
    if (QApplication::activeModalWidget() == modal) {
      ADD_FAILURE() << "modal window " << modal->objectName().toStdString()
                    << " left open";
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    }
  }
  QTimer::singleShot(0, [watch] { LookForModal(watch); });
}

}  // namespace

int SetupFile::Use(int line, const std::string& serialPort) {
  int port = FreeTcpPort();
  (line == 0 ? control : tcp[line]) = std::to_string(port);
  serial[line] = serialPort;
  return port;
}

std::string SetupFile::Text() const {
  std::ostringstream out;
  auto dataLine = [&](int L) {
    out << (tcp[L].empty() ? "unused" : tcp[L]) << ","
        << (serial[L].empty() ? "unused" : serial[L]) << "\t\r\n";
  };
  auto port = [&](int n) {
    out << (com[n].empty() ? "com" + std::to_string(n + 1) + ",9600,n,8,1,n" : com[n])
        << "\t\r\n";
  };
  out << "QMX window test\r\n" << control << "\t\r\n";
  for (int L = 1; L <= kDefaultDataLines; ++L) dataLine(L);
  for (int n = 0; n < kDefaultDataLines; ++n) port(n);
  out << minimize << "\t\r\n";
  // Each further data line: its line, then its port's.
  for (int L = kDefaultDataLines + 1; L <= dataLines; ++L) {
    dataLine(L);
    port(L - 1);
  }
  return out.str();
}

int WithModals(const std::function<void()>& open,
               const std::function<void(QWidget*)>& handle) {
  auto watch = std::make_shared<ModalWatch>();
  watch->handle = handle;
  QTimer::singleShot(0, [watch] { LookForModal(watch); });
  open();
  watch->done = true;
  return watch->seen;
}

void UiTest::SetUp() {
  scratch_ = std::make_unique<testsupport::ScratchDir>("qmx-ui-test");
  ASSERT_TRUE(scratch_->ok());
  server_ = std::make_unique<Server>(".");
}

void UiTest::MakeServer(int dataLines) {
  ASSERT_EQ(app_, nullptr);
  server_.reset();
  server_ = std::make_unique<Server>(".", dataLines);
  ASSERT_EQ(server_->FolderProblem(), "");
}

void UiTest::TearDown() {
  Stop();
  server_.reset();
  scratch_.reset();
}

void UiTest::Start(const SetupFile* file, const std::string& networkSummary) {
  if (file != nullptr) {
    ASSERT_TRUE(scratch_->WriteFile("qmx.txt", file->Text()));
  }
  app_ = std::make_unique<CCorvApp>(*server_);
  app_->SetNetworkSummary(networkSummary);
  ASSERT_TRUE(app_->InitInstance());
  QCoreApplication::processEvents();  // let the window settle as it would on screen
}

void UiTest::Stop() {
  if (app_ != nullptr) app_->ExitInstance();
  app_.reset();
}

void UiTest::Click(int id) {
  auto* button = Find<QAbstractButton>(id);
  ASSERT_NE(button, nullptr) << id;
  button->click();
}

QString UiTest::Shows(int id) const {
  if (auto* combo = Find<QComboBox>(id)) return combo->currentText();
  return Find<QLineEdit>(id)->text();
}

void UiTest::Type(int comboId, const QString& text) {
  QLineEdit* edit = Find<QComboBox>(comboId)->lineEdit();
  edit->clear();
  QTest::keyClicks(edit, text);
}

}  // namespace qmx::ui::test
