// qmxd: the serial-port server without a window.
//
// Parses its options (server_options.h: listen addresses, allow-lists, the
// lines that speak RFC 2217), checks that every listen address can be bound,
// then runs start-up in the working directory (its qmx.txt configures the
// lines), starts the relay thread, serves until SIGINT or SIGTERM, then shuts
// every line down, waits for its threads and exits 0. SIGHUP re-reads qmx.txt
// and applies what changed in it (engine/settings_reload.h), on this thread,
// and serving goes on. A bad option
// exits 2, a listen address this host does not have exits 1, and a qmx.txt
// that cannot be read or a control line that cannot listen exits 78
// (EX_CONFIG), each before anything is served. --check only reads qmx.txt and
// prints what start-up would log about it, each with its line number. Each error-log
// entry is also written to standard error when it is logged, as one line with its control
// bytes and stray non-UTF-8 bytes escaped (\xNN, a backslash as \\): entries quote texts
// from qmx.txt, which may hold any byte. The error log itself keeps the bytes as they
// are. So is the session log: every client's connect and disconnect (with its byte
// counts), every refusal and every control command with its reply code. Each line
// starts with its syslog priority ("<6>") when standard error is the journal, else
// with the time.
//
// Under systemd (Type=notify) the server says READY=1 once every line is up,
// keeps STATUS= a one-line summary, sends WATCHDOG=1 from the relay loop when
// the unit sets WatchdogSec, RELOADING=1 and then READY=1 around a reload,
// and STOPPING=1 when it stops. With --metrics it serves its counters for
// Prometheus.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "engine/settings_check.h"
#include "engine/settings_file.h"
#include "engine/settings_reload.h"
#include "engine/startup.h"
#include "engine/stats.h"
#include "metrics/exposition.h"
#include "metrics/metrics_server.h"
#include "net/net_access.h"
#include "options/server_options.h"
#include "platform/allocator_settings.h"
#include "platform/debug_trace.h"
#include "platform/printable_text.h"
#include "platform/session_log.h"
#include "platform/systemd_notify.h"
#include "server/server.h"
#include "tls/tls_credentials.h"

namespace {

// Whether standard error is the journal's stream, found once at start.
bool journal = false;

// One line of the server's log on standard error.
void Log(qmx::LogPriority priority, const std::string& text) {
  std::fprintf(stderr, "%sqmxd: %s\n", qmx::LogLinePrefix(priority, journal).c_str(),
               qmx::PrintableText(text).c_str());
  std::fflush(stderr);
}

// The service manager's one-line status, sent when it changed.
void UpdateStatus(qmx::LineTable& table, const qmx::SystemdNotifier& notifier,
                  std::string* last) {
  std::string summary;
  {
    qmx::MutexLock lock(table.engineLock);
    summary = qmx::StatsSummary(qmx::CollectStats(table));
  }
  if (summary == *last) return;
  if (notifier.Notify("STATUS=" + summary)) *last = summary;
}

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

// SIGHUP: qmx.txt again, with the service manager told that the server
// reloads until it is done ("RELOADING=1" wants the time it began with it).
void Reload(qmx::LineTable& table, const qmx::SystemdNotifier& notifier,
            const qmx::ServerOptions& options, qmx::TlsCredentials* tls) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long micros =
      static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  notifier.Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(micros));
  qmx::ReloadSetupFile(table);
  // A renewed certificate or key, or a new client CA, serves the next
  // clients; those connected keep their sessions.
  std::string failure;
  if (tls != nullptr && !tls->Load(&failure)) {
    table.sessionLog.Write(qmx::LogPriority::kError,
                           "reload: TLS credentials kept as they were: " + failure);
  } else if (tls != nullptr) {
    table.sessionLog.Write(qmx::LogPriority::kInfo, "reload: TLS credentials read again");
  }
  // The allow-lists' and operators' files: a client connected keeps its
  // session, and is an observer from its next command when its name left
  // the operators.
  if (!options.allowFiles.empty() || !options.controlAllowFiles.empty() ||
      options.controlOperatorsGiven) {
    if (!qmx::ApplyAccessSettings(options, table.net, &failure)) {
      table.sessionLog.Write(qmx::LogPriority::kError,
                             "reload: allow-lists and operators kept as they were: " +
                                 qmx::PrintableText(failure));
    } else {
      table.sessionLog.Write(qmx::LogPriority::kInfo,
                             "reload: allow-lists and operators read again");
    }
  }
  notifier.Notify("READY=1");
}

}  // namespace

int main(int argc, char** argv) {
  qmx::SettleAllocator();
  // Block the stop signals and SIGHUP in every thread; the main thread takes
  // them with sigwait, so no handler runs in the middle of server code. A
  // hang-up asks for the settings file to be read again, as daemons take it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  qmx::ServerOptions options;
  const qmx::OptionOutcome outcome = qmx::ParseServerOptions(
      "qmxd", std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), false,
      &options);
  std::fputs(outcome.output.c_str(), stdout);
  std::fputs(outcome.error.c_str(), stderr);
  if (!outcome.run) return outcome.exitStatus;
  // Read before the server exists, which may call it until it stops.
  const qmx::SystemdNotifier notifier;
  // The server of the working folder: its qmx.txt and device names.
  qmx::Server server(".", options.dataLines);
  qmx::LineTable& table = server.Table();
  std::string failure;
  if (!qmx::ApplyNetworkOptions(options, table.net, &failure)) {
    std::fprintf(stderr, "qmxd: %s\n", failure.c_str());
    return 1;
  }
  table.SetRfc2217Lines(options.rfc2217Lines);
  std::unique_ptr<qmx::TlsCredentials> tls;
  if (options.tlsLines.any()) {
    tls = std::make_unique<qmx::TlsCredentials>(options.tlsCert, options.tlsKey,
                                                options.tlsClientCa);
    if (!tls->Load(&failure)) {
      std::fprintf(stderr, "qmxd: cannot serve: TLS: %s\n",
                   qmx::PrintableText(failure).c_str());
      return qmx::kConfigStatus;
    }
    table.net.SetConnectionMaker(options.tlsLines, tls->Maker());
  }
  if (!qmx::ApplyAccessSettings(options, table.net, &failure)) {
    std::fprintf(stderr, "qmxd: cannot serve: %s\n", qmx::PrintableText(failure).c_str());
    return qmx::kConfigStatus;
  }

  qmx::InitTraceFromEnvironment();
  journal = qmx::StderrIsJournal();
  table.SetErrorLogListener(
      [](const std::string& entry) { Log(qmx::LogPriority::kError, entry); });
  // A refusal is kept in the error log, and written once, as a warning.
  table.net.TcpSetRefusalListener([&table](const std::string& text) {
    table.errorLog.Append(text);
    table.sessionLog.Write(qmx::LogPriority::kWarning, text);
  });
  table.sessionLog.SetListener(Log);

  if (options.check) return CheckSettings(table);

  if (notifier.WatchdogInterval().count() > 0) {
    // A beat at a quarter of the interval leaves the relay room for a slow
    // pass before the manager gives up on it.
    table.relayWatch.interval =
        std::max(std::chrono::milliseconds(1),
                 std::chrono::duration_cast<std::chrono::milliseconds>(
                     notifier.WatchdogInterval()) /
                     4);
    table.relayWatch.beat = [&notifier] { notifier.Notify("WATCHDOG=1"); };
  }

  // The metrics page answers whom the control line would; it is up before
  // the lines, so an address it cannot have stops the server first.
  qmx::MetricsServer metrics(
      [&table](const qmx::IpAddress& peer) { return table.net.TcpPeerAllowed(0, peer); },
      [&table] {
        qmx::MutexLock lock(table.engineLock);
        return qmx::RenderMetrics(qmx::CollectStats(table));
      },
      [&table, &options](const qmx::IpAddress& peer) {
        table.net.ReportRefusal(options.metricsPort, peer);
      });
  if (options.metricsGiven &&
      !metrics.Start(options.metricsAddress, options.metricsPort, &failure)) {
    std::fprintf(stderr, "qmxd: %s\n", failure.c_str());
    return 1;
  }

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
  if (!summary.empty()) Log(qmx::LogPriority::kInfo, summary);
  if (options.metricsGiven) {
    Log(qmx::LogPriority::kInfo,
        "metrics at http://" +
            qmx::FormatEndpoint(options.metricsAddress, metrics.Port()) + "/metrics");
  }
  Log(qmx::LogPriority::kInfo,
      "serving; stop with SIGINT or SIGTERM, reload qmx.txt with SIGHUP");
  // Every line listens (or has failed and is logged) by now: clients that
  // connect from here on are served.
  notifier.Notify("READY=1");

  // The status is brought up to date every second while a manager reads it.
  std::string status;
  const timespec tick{1, 0};
  int signal = 0;
  for (;;) {
    if (notifier.Enabled()) UpdateStatus(table, notifier, &status);
    signal = notifier.Enabled() ? sigtimedwait(&signals, nullptr, &tick)
                                : sigwaitinfo(&signals, nullptr);
    if (signal == SIGHUP) {
      Reload(table, notifier, options, tls.get());
      continue;
    }
    if (signal > 0) break;
  }
  notifier.Notify("STOPPING=1");
  Log(qmx::LogPriority::kInfo, "signal " + std::to_string(signal) + ", shutting down");
  metrics.Stop();
  server.Stop();
  return 0;
}
