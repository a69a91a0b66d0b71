// Window test harness: one server lifetime per test in a scratch working
// directory, pseudo-terminals linked as comN, TCP clients with bounded
// reads (all from the shared test support), and modal windows driven from a
// zero-delay timer.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "relay/corv_doc.h"
#include "server/server.h"
#include "testsupport/free_port.h"
#include "testsupport/pty_device.h"
#include "testsupport/scratch_dir.h"
#include "testsupport/tcp_client.h"
#include "ui/corv_app.h"
#include "ui/corv_view.h"
#include "ui/form_controls.h"
#include "ui/main_frame.h"
#include "ui/resources.h"

// Shows QString values in test failures as text.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace qmx::ui::test {

using Ms = std::chrono::milliseconds;

// The form's boxes of `line` (0 is the control line), by their resource ids.
constexpr int TcpBox(int line) { return FormRow(line).tcpId; }
constexpr int SerialBox(int line) { return FormRow(line).serialId; }
constexpr int StatusBox(int line) { return FormRow(line).statusId; }
constexpr int ToDeviceBox(int line) { return FormRow(line).toDeviceId; }
constexpr int ToClientBox(int line) { return FormRow(line).toClientId; }
constexpr int ClientBox(int line) { return FormRow(line).clientId; }

using testsupport::FreeTcpPort;
using testsupport::Listening;
using testsupport::ReadWholeFile;
using testsupport::TcpClient;

// Links `link` to a device that does not exist, so opening the port fails
// (with no entry at all, comN would mean /dev/ttyS(N-1)).
inline void MissingDevice(const std::string& link) {
  testsupport::LinkMissingDevice(link);
}

// The device end of a pseudo-terminal linked as `link`, played by the test.
// Only the server holds the port side open, so its closing shows here as a
// hang-up (WaitHangup).
class PtyDevice : public testsupport::PtyDevice {
 public:
  explicit PtyDevice(const std::string& link)
      : testsupport::PtyDevice(link, Play::kSelf, /*holdSlave=*/false) {}
};

struct SetupFile {
  int dataLines = kDefaultDataLines;  // the server's (UiTest::MakeServer)
  std::string control = "unused";
  std::array<std::string, kMaxLineCount> tcp, serial;  // by data line; empty: "unused"
  std::array<std::string, kMaxPortCount>
      com;  // whole serial lines; empty: comN,9600,n,8,1,n
  std::string minimize = "0";
  // Gives `line` a free TCP port (and a data line `serial`); returns the port.
  int Use(int line, const std::string& serialPort = "unused");
  std::string Text() const;
};

// Runs `open` (which returns once its modal window is closed), handing each
// modal window that appears meanwhile to `handle`; a window left open is
// rejected. Returns the number of modal windows.
int WithModals(const std::function<void()>& open,
               const std::function<void(QWidget*)>& handle);

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Replaces the server SetUp made (with eight data lines) by one with
  // `dataLines`; before Start.
  void MakeServer(int dataLines);
  // null: no qmx.txt. `networkSummary` is what qmx's options would show.
  void Start(const SetupFile* file, const std::string& networkSummary = "");
  void Stop();

  CMainFrame* frame() const { return app_->MainFrame(); }
  CCorvDoc* doc() const { return app_->Document(); }
  // The window's server, made in the test's scratch folder by SetUp.
  Server& server() const { return *server_; }
  LineTable& Table() const { return server_->Table(); }
  template <class T = QWidget>
  T* Find(int id) const {
    return Control<T>(frame(), id);
  }
  void Click(int id);
  void Trigger(int id) { frame()->findChild<QAction*>(IdName(id))->trigger(); }
  QString Shows(int id) const;  // combo or edit text
  QString Tip(int id) const { return Find(id)->toolTip(); }
  void Type(int comboId, const QString& text);

 private:
  std::unique_ptr<testsupport::ScratchDir> scratch_;
  std::unique_ptr<Server> server_;
  std::unique_ptr<CCorvApp> app_;
};

}  // namespace qmx::ui::test
