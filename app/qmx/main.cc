// qmx: the serial-port server with its operator window.
//
// The working directory and its qmx.txt configure the lines; the options of
// qmxd (server_options.h) say how the server meets the network, and Qt's own
// (such as -platform) still apply. The options are parsed before the
// QApplication exists, so --help, --version and a bad value need no display;
// what Qt does not take either is an unknown option (exit 2). A listen
// address this host does not have exits 1 before anything is served. The
// window runs until it is closed or File > Exit is chosen; SIGINT, SIGTERM
// and SIGHUP close it the same way, so every line is shut down before the
// process ends.
#include <pthread.h>

#include <QApplication>
#include <QMetaObject>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "engine/line_table.h"
#include "net/net_access.h"
#include "options/server_options.h"
#include "platform/allocator_settings.h"
#include "platform/debug_trace.h"
#include "platform/printable_text.h"
#include "server/server.h"
#include "tls/tls_credentials.h"
#include "ui/corv_app.h"

namespace {

// Takes SIGINT, SIGTERM and SIGHUP on a thread of its own and asks the window thread
// to quit; all other threads have the signals blocked.
class StopSignalWatcher {
 public:
  StopSignalWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
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
  qmx::SettleAllocator();
  StopSignalWatcher watcher;  // before any thread exists, so all inherit the mask
  std::signal(SIGPIPE, SIG_IGN);

  qmx::ServerOptions options;
  const qmx::OptionOutcome outcome = qmx::ParseServerOptions(
      "qmx", std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), true,
      &options);
  std::fputs(outcome.output.c_str(), stdout);
  std::fputs(outcome.error.c_str(), stderr);
  if (!outcome.run) return outcome.exitStatus;

  // Qt gets the program name and the arguments that are not ours; it takes
  // out what it knows, and anything left over is an unknown option.
  std::vector<std::string> qtArguments{argc > 0 ? argv[0] : "qmx"};
  qtArguments.insert(qtArguments.end(), options.foreign.begin(), options.foreign.end());
  std::vector<char*> qtArgv;
  for (std::string& argument : qtArguments) qtArgv.push_back(argument.data());
  qtArgv.push_back(nullptr);
  int qtArgc = static_cast<int>(qtArguments.size());

  QApplication application(qtArgc, qtArgv.data());
  if (qtArgc > 1) {
    std::fprintf(stderr, "qmx: unknown option '%s' (see qmx --help)\n", qtArgv[1]);
    return qmx::kBadOptionStatus;
  }
  // The server of the working folder: its qmx.txt and device names.
  qmx::Server server(".", options.dataLines);
  qmx::LineTable& table = server.Table();
  std::string failure;
  if (!qmx::ApplyNetworkOptions(options, table.net, &failure)) {
    std::fprintf(stderr, "qmx: %s\n", failure.c_str());
    return 1;
  }
  table.SetRfc2217Lines(options.rfc2217Lines);
  // TLS lines serve the next clients with the credentials read here; the
  // window has no reload, so a renewed certificate needs a restart.
  if (options.tlsLines.any()) {
    qmx::TlsCredentials tls(options.tlsCert, options.tlsKey, options.tlsClientCa);
    if (!tls.Load(&failure)) {
      std::fprintf(stderr, "qmx: cannot serve: TLS: %s\n", failure.c_str());
      return qmx::kConfigStatus;
    }
    table.net.SetConnectionMaker(options.tlsLines, tls.Maker());
  }
  if (!qmx::ApplyAccessSettings(options, table.net, &failure)) {
    std::fprintf(stderr, "qmx: cannot serve: %s\n", qmx::PrintableText(failure).c_str());
    return qmx::kConfigStatus;
  }
  qmx::InitTraceFromEnvironment();
  table.net.TcpSetRefusalListener(
      [&table](const std::string& t) { table.AppendErrorLog(t); });

  watcher.Start();
  int result = 1;
  {
    qmx::ui::CCorvApp app(server);
    app.SetNetworkSummary(qmx::NetworkSummary(options));
    if (app.InitInstance()) result = QApplication::exec();
    app.ExitInstance();
  }
  table.net.TcpSetRefusalListener(nullptr);
  watcher.Stop();
  return result;
}
