// CComSetDlg: the "Serial Port setup" dialog for one port's line settings
// (baud rate, data bits, parity, stop bits, flow control).
//
// The dialog only edits its own fields; the form view's SetupCom loads them
// from the port's ComSetting record before DoModal and stores them back when
// DoModal returns Accepted. Enter in a combo box or the port field leaves the
// dialog open (with the focus on OK or Cancel, Enter works that button);
// Escape, Cancel and the close box end it with Rejected.
#pragma once

#include <QDialog>
#include <string>

#include "ui/dialog_units.h"

class QComboBox;
class QLineEdit;
class QKeyEvent;

namespace qmx::ui {

class CComSetDlg : public QDialog {
 public:
  explicit CComSetDlg(QWidget* owner);
  ~CComSetDlg() override;

  // Shows the fields in the controls and runs the dialog modally.
  int DoModal();
  void UpdateData(bool save);

  std::string m_baud;
  std::string m_data;
  std::string m_parity;
  std::string m_stop;
  std::string m_port;
  std::string m_flow;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void OnClickedOk();
  void OnClickedCancel();

  DialogUnits units_;
  QComboBox* baud_ = nullptr;
  QComboBox* data_ = nullptr;
  QComboBox* parity_ = nullptr;
  QComboBox* stop_ = nullptr;
  QComboBox* flow_ = nullptr;
  QLineEdit* port_ = nullptr;
};

}  // namespace qmx::ui
