// CCorvView: the form view that fills the main frame, one row for the control
// line and one for each data line of the server (TCP port, serial port,
// status), plus the buttons OK, Cancel, "Save setup", "Error log...",
// "Command log..." and the "Minimize" box; right of the buttons, each line's
// traffic (TrafficFields). The rows of data lines past the eighth continue
// below the eighth; the frame then shows the first eight and scrolls.
// A line whose clients connect over TLS shows "TLS" at the right end of its
// row's title, level with the group box's label; a plain line shows nothing
// there.
//
// The form fields (m_tcpPort, m_serialPort, m_status, m_minimize) are the
// view's copy of the line table; UpdateData moves them to and from the
// controls. OK applies every changed line and every line whose status is "NG"
// through DeactivateLine / ActivateLine; Cancel and the refresh reload the
// controls from the line table. A 200 ms timer reloads them whenever the relay
// thread has set the document's refreshNeeded, and the traffic fields on
// every tick from one CollectStats snapshot. Loading the controls also
// refreshes the TLS marks from the socket layer.
//
// Threads: everything here runs on the window thread. Each handler that reads
// or writes the line table holds engineLock for that step only, never while a
// dialog or message box is open, so the window waits at most for one control
// command or one line activation.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/line_table.h"
#include "ui/dialog_units.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qmx {
class CCorvDoc;
}

namespace qmx::ui {

class CMainFrame;
class TrafficFields;

// How long the window waits for the relay thread to apply its changes. A
// command runs in milliseconds; this only bounds a relay that is stuck.
inline constexpr std::chrono::milliseconds kWindowRequestLimit{10000};

// The objectName of the TLS mark of line `line` (0 is the control line).
QString TlsMarkName(int line);

class CCorvView : public QWidget {
 public:
  CCorvView(CCorvDoc* document, CMainFrame* frame);
  ~CCorvView() override;

  CCorvDoc* GetDocument() const { return document_; }

  // controls -> fields (save) or fields -> controls.
  void UpdateData(bool save);

  void OnInitialUpdate();
  void OnTimer();
  void OnCorvOk();
  void OnCorvCancel();
  void OnSaveSetup();
  void OnErrorLog();
  void OnCommandLog();
  // Serial setup of port com(index+1), from the "Serial setup" menu.
  void OnSetupCom(int index);
  void SetupCom(const QString& name, int index);

  // Between the stored letters of a port's settings and the dialog's words.
  static std::string ParityToText(std::string_view parity);
  static std::string TextToParity(std::string_view text);
  static std::string FlowToText(std::string_view flow);
  static std::string TextToFlow(std::string_view text);

  // The form fields, one per line of the server.
  std::vector<std::string> m_tcpPort;
  std::vector<std::string> m_serialPort;  // slot 0 unused
  std::vector<std::string> m_status;
  int32_t m_minimize = 0;

 private:
  void CreateControls();
  // Copies the line table into the fields: TCP ports and serial ports, and
  // the status texts when asked. Takes engineLock.
  void CopyFromLineTable(bool withStatus);
  void Update();
  // Shows each line's counters and client: one CollectStats under
  // engineLock, the widgets after it is released.
  void ShowTraffic();
  // Has the relay thread run `work` (which takes engineLock itself) and
  // waits for it, as a control command would change the lines; runs it here
  // when no relay thread runs. False when the relay did not take it within
  // kWindowRequestLimit: then nothing was changed.
  bool RunOnRelay(const std::function<void()>& work);

  CCorvDoc* document_;
  LineTable& table_;     // the document's
  const int lineCount_;  // the table's LineCount()
  CMainFrame* frame_;
  DialogUnits units_;
  QTimer timer_;

  // One per line of the server.
  std::vector<QComboBox*> tcpCombo_;
  std::vector<QComboBox*> serialCombo_;  // slot 0 null
  std::vector<QLineEdit*> statusEdit_;
  std::vector<QLabel*> tlsMark_;  // shown on the TLS lines
  QCheckBox* minimizeBox_ = nullptr;
  QPushButton* okButton_ = nullptr;
  std::unique_ptr<TrafficFields> traffic_;
};

}  // namespace qmx::ui
