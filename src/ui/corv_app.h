// CCorvApp: the application object of the window server.
//
// InitInstance brings the server up before any window exists (ServerStartup),
// then creates the document, the main frame with its form view, starts the
// relay thread (CCorvDoc::OnNewDocument) and shows the window, minimized when
// the settings ask for it. ExitInstance closes the window, shuts every line
// down (ServerShutdown) and waits for the relay thread to end.
//
// The QApplication is made by the caller before InitInstance and runs its
// event loop between the two steps. Everything here runs on the window
// thread; ServerStartup and ServerShutdown take engineLock themselves.
#pragma once

#include <memory>
#include <string>

class QWidget;

namespace qmx {
class CCorvDoc;
}

namespace qmx {
class Server;
}  // namespace qmx

namespace qmx::ui {

class CMainFrame;

class CCorvApp {
 public:
  // The window of `server`, which the caller owns and keeps until the
  // window is gone.
  explicit CCorvApp(Server& server);
  ~CCorvApp();
  CCorvApp(const CCorvApp&) = delete;
  CCorvApp& operator=(const CCorvApp&) = delete;

  // Returns false when the window could not be made; ExitInstance must still
  // run then.
  bool InitInstance();
  // Runs once; later calls do nothing.
  void ExitInstance();

  // A line for the status bar saying where the server listens when that is
  // not the default; set before InitInstance. Empty: no status bar.
  void SetNetworkSummary(std::string summary) { networkSummary_ = std::move(summary); }

  CMainFrame* MainFrame() const { return frame_.get(); }
  CCorvDoc* Document() const;

  // Command bindings.
  void OnAppAbout();
  void OnHelpFinder();
  void OnFileNew();

 private:
  Server& server_;
  std::unique_ptr<CMainFrame> frame_;
  bool started_ = false;
  std::string networkSummary_;
};

}  // namespace qmx::ui
