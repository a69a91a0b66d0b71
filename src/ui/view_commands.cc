// The form view's commands that open a window of their own: the serial setup
// dialog, the two log windows and the message box of a failed save. Each
// takes engineLock only to read or write the line table, never while its
// window is open.
#include <QMessageBox>
#include <mutex>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "engine/settings_file.h"
#include "platform/fixed_text.h"
#include "relay/corv_doc.h"
#include "ui/com_set_dlg.h"
#include "ui/corv_view.h"
#include "ui/log_dlgs.h"
#include "ui/resources.h"

namespace qmx::ui {

std::string CCorvView::ParityToText(std::string_view parity) {
  switch (parity.empty() ? '\0' : parity.front()) {
    case 'e':
      return "even";
    case 'o':
      return "odd";
    case 'n':
      return "none";
    default:
      return {};
  }
}

std::string CCorvView::TextToParity(std::string_view text) {
  if (text == "even") return "e";
  if (text == "odd") return "o";
  if (text == "none") return "n";
  return {};
}

std::string CCorvView::FlowToText(std::string_view flow) {
  switch (flow.empty() ? '\0' : flow.front()) {
    case 'h':
      return "hardware";
    case 'x':
      return "Xon/Xoff";
    case 'n':
      return "none";
    default:
      return {};
  }
}

std::string CCorvView::TextToFlow(std::string_view text) {
  if (text == "hardware") return "h";
  if (text == "Xon/Xoff") return "x";
  if (text == "none") return "n";
  return {};
}

void CCorvView::OnSetupCom(int index) {
  SetupCom(QStringLiteral("com%1").arg(index + 1), index);
}

void CCorvView::SetupCom(const QString& name, int index) {
  if (index < 0 || index >= table_.DataLines()) return;
  CComSetDlg dialog(window());
  dialog.m_port = name.toStdString();
  {
    MutexLock lock(table_.engineLock);
    const ComSetting& setting = table_.comSettings[index];
    dialog.m_baud = FieldText(setting.baud);
    dialog.m_parity = ParityToText(FieldText(setting.parity));
    dialog.m_data = FieldText(setting.dataBits);
    dialog.m_stop = FieldText(setting.stopBits);
    dialog.m_flow = FlowToText(FieldText(setting.flow));
  }
  if (dialog.DoModal() != QDialog::Accepted) return;

  PortSettings settings;
  settings.baud = dialog.m_baud;
  settings.parity = TextToParity(dialog.m_parity);
  settings.dataBits = dialog.m_data;
  settings.stopBits = dialog.m_stop;
  settings.flow = TextToFlow(dialog.m_flow);
  RunOnRelay([&] {
    MutexLock lock(table_.engineLock);
    ApplyPortSetup(table_, index, settings);
  });
}

void CCorvView::OnCommandLog() {
  CCmdLogDlg dialog(window());
  dialog.m_log.clear();
  if (document_ != nullptr) {
    MutexLock lock(table_.engineLock);
    for (const std::string& entry : document_->CommandLogListing()) dialog.m_log += entry;
  }
  dialog.DoModal();
}

void CCorvView::OnErrorLog() {
  CErrLogDlg dialog(window());
  dialog.m_log.clear();
  {
    MutexLock lock(table_.engineLock);
    for (const std::string& entry : table_.ErrorLogListing()) {
      dialog.m_log += entry;
      dialog.m_log += "\r\n";
    }
  }
  dialog.DoModal();
}

void CCorvView::OnSaveSetup() {
  bool written = false;
  {
    MutexLock lock(table_.engineLock);
    written = WriteSetupFile(table_);
  }
  if (written) return;
  QMessageBox box(QMessageBox::Information, QString::fromLatin1(kAppTitle),
                  QString::fromUtf8(FormatMessage1(kMsgCannotOpen, kSetupFileName)),
                  QMessageBox::Ok, window());
  box.setObjectName(QStringLiteral("saveFailed"));
  box.exec();
}

}  // namespace qmx::ui
