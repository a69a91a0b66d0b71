// qmxd: the serial-port server without a window.
//
// Runs start-up in the working directory (its qmx.txt is the whole
// configuration), starts the relay thread, serves until SIGINT or SIGTERM,
// then shuts every line down, waits for its threads and exits 0. Each
// error-log entry is also written to standard error when it is logged, as one
// line with its control bytes and stray non-UTF-8 bytes escaped (\xNN, a
// backslash as \\): entries quote texts from qmx.txt, which may hold any
// byte, and the journal must get one readable line per entry. The error log
// itself keeps the bytes as they are.
#include <csignal>
#include <cstdio>
#include <string>

#include "relay/corv_doc.h"
#include "engine/line_table.h"
#include "engine/startup.h"
#include "platform/debug_trace.h"
#include "platform/printable_text.h"

int main() {
  // Block the stop signals in every thread; the main thread takes them with
  // sigwait, so no handler runs in the middle of server code.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  qmx::InitTraceFromEnvironment();
  qmx::SetErrorLogListener([](const std::string& entry) {
    std::fprintf(stderr, "qmxd: %s\n", qmx::PrintableText(entry).c_str());
    std::fflush(stderr);
  });

  if (qmx::ServerStartup() != 0) {
    std::fprintf(stderr, "qmxd: qmx.txt: %s\n",
                 qmx::PrintableText(qmx::SetupFileProblem()).c_str());
  }
  qmx::CCorvDoc document;
  document.OnNewDocument();
  std::fprintf(stderr, "qmxd: serving; stop with SIGINT or SIGTERM\n");

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  std::fprintf(stderr, "qmxd: signal %d, shutting down\n", signal);
  qmx::ServerShutdown();
  document.JoinRelayThread();
  return 0;
}
