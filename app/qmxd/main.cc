// qmxd: the serial-port server without a window.
//
// Parses its options (server_options.h: listen addresses, allow-lists, the
// lines that speak RFC 2217), checks that every listen address can be bound,
// then runs start-up in the working directory (its qmx.txt configures the
// lines), starts the relay thread, serves until SIGINT, SIGTERM or SIGHUP,
// then shuts every line down, waits for its threads and exits 0. A bad option
// exits 2, a listen address this host does not have exits 1, and a qmx.txt
// that cannot be read or a control line that cannot listen exits 78
// (EX_CONFIG), each before anything is served. --check only reads qmx.txt and
// prints what start-up would log about it, each with its line number. Each error-log
// entry is also written to standard error when it is logged, as one line with its control
// bytes and stray non-UTF-8 bytes escaped (\xNN, a backslash as \\): entries quote texts
// from qmx.txt, which may hold any byte. The error log itself keeps the bytes as they
// are.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "engine/settings_check.h"
#include "engine/settings_file.h"
#include "engine/startup.h"
#include "net/net_access.h"
#include "options/server_options.h"
#include "platform/allocator_settings.h"
#include "platform/debug_trace.h"
#include "platform/printable_text.h"
#include "server/server.h"

namespace {

// qmxd --check: what start-up would log about qmx.txt, each with its line.
int CheckSettings(qmx::LineTable& table) {
  std::vector<qmx::SettingsProblem> problems;
  {
    qmx::MutexLock lock(table.engineLock);
    problems = qmx::CheckSetupFile(table);
  }
  for (const qmx::SettingsProblem& problem : problems) {
    std::fprintf(stderr, "qmxd: %s\n",
                 qmx::PrintableText(qmx::FormatSettingsProblem(problem)).c_str());
  }
  if (problems.empty()) {
    std::fprintf(stderr, "qmxd: %s: no problems\n", qmx::kSetupFileName);
    return 0;
  }
  return qmx::kConfigStatus;
}

}  // namespace

int main(int argc, char** argv) {
  qmx::SettleAllocator();
  // Block the stop signals in every thread; the main thread takes them with
  // sigwait, so no handler runs in the middle of server code. A hang-up (the
  // terminal or session went away) stops the server the same clean way.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  qmx::ServerOptions options;
  const qmx::OptionOutcome outcome = qmx::ParseServerOptions(
      "qmxd", std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), false,
      &options);
  std::fputs(outcome.output.c_str(), stdout);
  std::fputs(outcome.error.c_str(), stderr);
  if (!outcome.run) return outcome.exitStatus;
  // The server of the working folder: its qmx.txt and device names.
  qmx::Server server(".");
  qmx::LineTable& table = server.Table();
  std::string failure;
  if (!qmx::ApplyNetworkOptions(options, table.net, &failure)) {
    std::fprintf(stderr, "qmxd: %s\n", failure.c_str());
    return 1;
  }
  table.SetRfc2217Lines(options.rfc2217Lines);

  qmx::InitTraceFromEnvironment();
  table.SetErrorLogListener([](const std::string& entry) {
    std::fprintf(stderr, "qmxd: %s\n", qmx::PrintableText(entry).c_str());
    std::fflush(stderr);
  });
  table.net.TcpSetRefusalListener(
      [&table](const std::string& t) { table.AppendErrorLog(t); });

  if (options.check) return CheckSettings(table);

  // Settings that cannot be served stop the server before it claims to
  // serve: a service manager then shows it failed, with the reason.
  switch (server.Start()) {
    case qmx::Server::StartResult::kServing:
      break;
    case qmx::Server::StartResult::kNoFolder:
      std::fprintf(stderr, "qmxd: cannot serve: %s\n", server.FolderProblem().c_str());
      return qmx::kConfigStatus;
    case qmx::Server::StartResult::kSettingsUnreadable: {
      std::string problem;
      {
        qmx::MutexLock lock(table.engineLock);
        problem = qmx::SetupFileProblem(table);
      }
      std::fprintf(stderr, "qmxd: cannot serve: qmx.txt: %s\n",
                   qmx::PrintableText(problem).c_str());
      server.Stop();
      return qmx::kConfigStatus;
    }
    case qmx::Server::StartResult::kControlLineDown:
      std::fprintf(stderr, "qmxd: cannot serve: the control line cannot listen\n");
      server.Stop();
      return qmx::kConfigStatus;
  }
  const std::string summary = qmx::NetworkSummary(options);
  if (!summary.empty()) std::fprintf(stderr, "qmxd: %s\n", summary.c_str());
  std::fprintf(stderr, "qmxd: serving; stop with SIGINT, SIGTERM or SIGHUP\n");

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  std::fprintf(stderr, "qmxd: signal %d, shutting down\n", signal);
  server.Stop();
  return 0;
}
