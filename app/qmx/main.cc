// qmx: the serial-port server with its operator window.
//
// The working directory and its qmx.txt are the whole configuration; the
// program takes no options of its own (Qt's own, such as -platform, still
// apply). The window runs until it is closed or File > Exit is chosen; SIGINT
// and SIGTERM close it the same way, so every line is shut down before the
// process ends.
#include <pthread.h>

#include <QApplication>
#include <QMetaObject>
#include <atomic>
#include <csignal>
#include <thread>

#include "platform/debug_trace.h"
#include "ui/corv_app.h"

namespace {

// Takes SIGINT and SIGTERM on a thread of its own and asks the window thread
// to quit; all other threads have the signals blocked.
class StopSignalWatcher {
 public:
  StopSignalWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  }
  void Start() {
    thread_ = std::thread([this] {
      for (;;) {
        int signal = 0;
        if (sigwait(&signals_, &signal) != 0) continue;
        if (finished_.load()) return;
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
      }
    });
  }
  // Ends the thread; called while the application object still exists.
  void Stop() {
    if (!thread_.joinable()) return;
    finished_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }
  ~StopSignalWatcher() { Stop(); }

 private:
  sigset_t signals_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  StopSignalWatcher watcher;  // before any thread exists, so all inherit the mask
  std::signal(SIGPIPE, SIG_IGN);
  qmx::InitTraceFromEnvironment();

  QApplication application(argc, argv);
  watcher.Start();
  int result = 1;
  {
    qmx::ui::CCorvApp app;
    if (app.InitInstance()) result = QApplication::exec();
    app.ExitInstance();
  }
  watcher.Stop();
  return result;
}
