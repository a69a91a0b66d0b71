#include "engine/settings_reload.h"

#include <optional>
#include <utility>

#include "engine/port_lifecycle.h"
#include "engine/settings_file.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

bool SamePort(const ComSetting& a, const ComSetting& b) {
  return FieldText(a.name) == FieldText(b.name) &&
         FieldText(a.baud) == FieldText(b.baud) &&
         FieldText(a.parity) == FieldText(b.parity) &&
         FieldText(a.dataBits) == FieldText(b.dataBits) &&
         FieldText(a.stopBits) == FieldText(b.stopBits) &&
         FieldText(a.flow) == FieldText(b.flow) &&
         FieldText(a.definition) == FieldText(b.definition);
}

// A port's line as the file writes it: "com1,9600,n,8,1,n".
std::string PortText(const ComSetting& s) {
  return std::string(FieldText(s.name)) + "," + std::string(FieldText(s.definition)) +
         "," + std::string(FieldText(s.flow));
}

std::string LineName(int line) {
  return line == 0 ? "the control line" : "data line " + std::to_string(line);
}

// One reload's application of a checked file to the line table.
class Reload {
 public:
  Reload(LineTable& t, const SetupSettings& before, const SetupSettings& after)
      : table(t),
        before_(before),
        after_(after),
        applied_(after),
        diff_(DiffSetup(before, after)) {}

  LineTable& table;

  bool Empty() const { return diff_.Empty(); }
  int Changes() const { return changes_; }
  const SetupSettings& Applied() const { return applied_; }

  void Run() REQUIRES(table.engineLock) {
    SkipWhatRuns();
    KeptTexts();
    // Every line that is set up again or moves lets go of its device and its
    // TCP port first, so that lines may trade ports within one reload.
    for (int L = 1; L < table.LineCount(); ++L) {
      if (diff_.lines[L] == SetupDiff::Line::kReplaced) {
        plan_[L] = Texts{after_.tcpPortText[L], after_.serialPortText[L]};
        DeactivateLine(table, L);
      } else if (diff_.lines[L] == SetupDiff::Line::kTcpPort) {
        ReleaseLineListener(table, L);
      }
    }
    if (diff_.lines[0] == SetupDiff::Line::kTcpPort) ControlLine();
    for (int n = 0; n < table.DataLines(); ++n) {
      if (diff_.ports[n]) Port(n);
    }
    for (int L = 1; L < table.LineCount(); ++L) {
      if (diff_.lines[L] == SetupDiff::Line::kTcpPort && !plan_[L]) MoveLine(L);
    }
    // The lines that copy a port after those that open one, as at start-up.
    for (int pass = 0; pass < 2; ++pass) {
      for (int L = 1; L < table.LineCount(); ++L) {
        if (plan_[L] && plan_[L]->serial.starts_with("receive") == (pass == 1))
          SetUpAgain(L);
      }
    }
    for (int L = 1; L < table.LineCount(); ++L) {
      if (!plan_[L]) FollowCopiedPort(L);
    }
    table.refreshNeeded.store(1);
  }

 private:
  struct Texts {
    std::string tcp;
    std::string serial;
  };

  // A line that already runs what the file now says (the window's OK or a
  // command set it so) is left alone, with its client.
  void SkipWhatRuns() REQUIRES(table.engineLock) {
    for (int L = 0; L < table.LineCount(); ++L) {
      if (diff_.lines[L] == SetupDiff::Line::kSame || table.LineStatusText(L) == "NG")
        continue;
      if (table.tcpPortText[L] == after_.tcpPortText[L] &&
          (L == 0 || diff_.lines[L] == SetupDiff::Line::kTcpPort ||
           table.serialPortText[L] == after_.serialPortText[L]))
        diff_.lines[L] = SetupDiff::Line::kSame;
    }
  }

  void Note(LogPriority priority, const std::string& text) {
    ++changes_;
    table.sessionLog.Write(priority, "reload: " + text);
  }

  void KeptTexts() REQUIRES(table.engineLock) {
    if (!diff_.remarkLines.empty()) {
      std::string lines;
      for (int fileLine : diff_.remarkLines) {
        if (!lines.empty()) lines += ", ";
        lines += std::to_string(fileLine);
      }
      table.setupRemarks = after_.remarks;
      Note(LogPriority::kInfo, "remarks of qmx.txt lines " + lines + " taken");
    }
    if (diff_.startMinimized) {
      Note(LogPriority::kInfo, "start minimized " + std::to_string(table.startMinimized) +
                                   " -> " + std::to_string(after_.startMinimized));
      table.startMinimized = after_.startMinimized;
    }
  }

  // The control line goes to its new port once the data lines that leave
  // theirs have let go (so it may take one of them); when it cannot listen
  // there it listens on the old one again, so the server stays reachable.
  // Its clients of the moment are let go either way: the socket layer has one
  // listener per line, so the old one closes before the new one opens.
  void ControlLine() REQUIRES(table.engineLock) {
    const std::string from = table.tcpPortText[0];
    const std::string& to = after_.tcpPortText[0];
    ApplyLineTexts(table, 0, to, std::string());
    if (to == kUnused || table.LineStatusText(0) != "NG") {
      Note(LogPriority::kInfo, "TCP port of the control line " + from + " -> " + to);
      return;
    }
    applied_.tcpPortText[0] = before_.tcpPortText[0];  // tried again next time
    if (from == kUnused) {
      Note(LogPriority::kWarning, "the control line cannot listen on TCP port " + to +
                                      " (see the error above); it stays unused");
      ApplyLineTexts(table, 0, from, std::string());
      return;
    }
    ApplyLineTexts(table, 0, from, std::string());
    const bool back = table.LineStatusText(0) == "OK";
    Note(back ? LogPriority::kWarning : LogPriority::kError,
         "the control line cannot listen on TCP port " + to + " (see the error above); " +
             (back ? "it stays on " + from : "nor again on " + from));
  }

  void Port(int n) REQUIRES(table.engineLock) {
    const int L = n + 1;
    const ComSetting was = table.comSettings[n];
    const ComSetting& wanted = after_.comSettings[n];
    const std::string change = "serial port " + std::to_string(L) + " " + PortText(was) +
                               " -> " + PortText(wanted);
    ReconfigureOutcome outcome = ReconfigurePort(table, n, wanted);
    if (outcome == ReconfigureOutcome::kNeedsReopen) {
      // The server holds the port under its old name: it is closed and its
      // line comes up again under the new one, on the TCP port the file now
      // gives the line if that changed too.
      const bool moves = diff_.lines[L] == SetupDiff::Line::kTcpPort;
      const std::string tcp = moves ? after_.tcpPortText[L] : table.tcpPortText[L];
      std::string serial = table.serialPortText[L];
      if (serial == FieldText(was.name)) serial = FieldText(wanted.name);
      DeactivateLine(table, L);
      plan_[L] = Texts{tcp, serial};
      (void)ReconfigurePort(table, n, wanted);
      Note(LogPriority::kInfo, change + ": reopened with data line " + std::to_string(L) +
                                   (moves ? " on TCP port " + tcp : std::string()));
      return;
    }
    switch (outcome) {
      case ReconfigureOutcome::kInPlace:
        Note(LogPriority::kInfo, change + ": set up again in place");
        break;
      case ReconfigureOutcome::kForNextOpen:
        Note(LogPriority::kInfo,
             change + (plan_[L] ? ": with data line " + std::to_string(L)
                                : ": for its next open"));
        break;
      case ReconfigureOutcome::kRefused:
        applied_.comSettings[n] = before_.comSettings[n];  // tried again next time
        Note(LogPriority::kWarning, change + ": the port could not take it; it keeps " +
                                        PortText(table.comSettings[n]));
        break;
      case ReconfigureOutcome::kNeedsReopen:
        break;
    }
  }

  void MoveLine(int L) REQUIRES(table.engineLock) {
    const std::string change = "TCP port of data line " + std::to_string(L) + " " +
                               table.tcpPortText[L] + " -> " + after_.tcpPortText[L];
    switch (MoveLineListener(table, L, after_.tcpPortText[L])) {
      case Activation::kFailed:
        applied_.tcpPortText[L] = before_.tcpPortText[L];  // tried again next time
        Note(LogPriority::kWarning, change + ": it cannot listen (see the error above)");
        break;
      case Activation::kOk:
        Note(LogPriority::kInfo, change);
        break;
      default:
        Note(LogPriority::kInfo, change + " (not serving now)");
        break;
    }
  }

  void SetUpAgain(int L) REQUIRES(table.engineLock) {
    const std::string from = table.tcpPortText[L] + "," + table.serialPortText[L];
    const Texts& texts = *plan_[L];
    ApplyLineTexts(table, L, texts.tcp, texts.serial);
    // Renamed ports were logged with their line.
    if (diff_.lines[L] != SetupDiff::Line::kReplaced) return;
    const std::string status(table.LineStatusText(L));
    Note(status == "NG" ? LogPriority::kWarning : LogPriority::kInfo,
         LineName(L) + " " + from + " -> " + texts.tcp + "," + texts.serial +
             (status.empty() ? std::string() : ": " + status));
  }

  // A copy line that was not set up again copies the port slot it found at
  // its start; when ports changed slots it follows the port it names.
  void FollowCopiedPort(int L) REQUIRES(table.engineLock) {
    if (!qmx::FollowCopiedPort(table, L)) return;
    Note(LogPriority::kInfo,
         LineName(L) + " copies " + table.serialPortText[L].substr(8) +
             " in its new place: " + std::string(table.LineStatusText(L)));
  }

  const SetupSettings& before_;
  const SetupSettings& after_;
  SetupSettings applied_;
  SetupDiff diff_;
  std::array<std::optional<Texts>, kMaxLineCount> plan_;  // lines set up again
  int changes_ = 0;
};

}  // namespace

bool SetupDiff::Empty() const {
  for (Line line : lines) {
    if (line != Line::kSame) return false;
  }
  for (bool port : ports) {
    if (port) return false;
  }
  return remarkLines.empty() && !startMinimized;
}

SetupDiff DiffSetup(const SetupSettings& before, const SetupSettings& after) {
  SetupDiff diff;
  if (before.tcpPortText[0] != after.tcpPortText[0])
    diff.lines[0] = SetupDiff::Line::kTcpPort;
  for (int L = 1; L < after.dataLines + 1; ++L) {
    const bool tcp = before.tcpPortText[L] != after.tcpPortText[L];
    const bool serial = before.serialPortText[L] != after.serialPortText[L];
    if (!tcp && !serial) continue;
    // Only a move from one TCP port to another keeps the line as it is; a
    // port text that becomes or stops being "unused" switches it on or off.
    const bool moves =
        !serial && before.tcpPortText[L] != kUnused && after.tcpPortText[L] != kUnused;
    diff.lines[L] = moves ? SetupDiff::Line::kTcpPort : SetupDiff::Line::kReplaced;
  }
  for (int n = 0; n < after.dataLines; ++n) {
    diff.ports[n] = !SamePort(before.comSettings[n], after.comSettings[n]);
  }
  for (size_t slot = 0; slot < before.remarks.size(); ++slot) {
    if (before.remarks[slot] != after.remarks[slot])
      diff.remarkLines.push_back(static_cast<int>(slot) + 1);
  }
  diff.startMinimized = before.startMinimized != after.startMinimized;
  return diff;
}

NewSetup ReadSetupForReload(int folderFd, int dataLines) {
  NewSetup setup;
  setup.readable = ReadSetupSettings(folderFd, dataLines, &setup.settings, &setup.stamp,
                                     &setup.unreadable);
  if (setup.readable) setup.problems = CheckSetupSettings(setup.settings, folderFd);
  return setup;
}

ReloadOutcome ApplyReload(LineTable& table, const NewSetup& setup) {
  SessionLog& log = table.sessionLog;
  if (!setup.readable || !setup.problems.empty()) {
    if (!setup.readable) {
      log.Write(LogPriority::kError, std::string("reload: cannot read ") +
                                         kSetupFileName + ": " + setup.unreadable);
    }
    for (const SettingsProblem& problem : setup.problems)
      log.Write(LogPriority::kError, "reload: " + FormatSettingsProblem(problem));
    log.Write(LogPriority::kError,
              std::string("reload: ") + kSetupFileName + " not applied; nothing changed");
    return ReloadOutcome::kRefused;
  }
  if (ServerStopping(table)) return ReloadOutcome::kRefused;
  // A table that never read its file compares with what it runs.
  const SetupSettings before =
      table.setupOnDisk.known ? table.setupOnDisk.settings : SetupSettingsOf(table);
  Reload reload(table, before, setup.settings);
  // The reload's table is this one, whose lock the caller holds.
  reload.table.engineLock.AssertHeld();
  if (reload.Empty()) {
    table.setupOnDisk = SetupOnDisk{true, setup.settings, setup.stamp};
    log.Write(LogPriority::kInfo, std::string("reload: ") + kSetupFileName +
                                      " has not changed since it was last read or saved");
    return ReloadOutcome::kUnchanged;
  }
  reload.Run();
  table.setupOnDisk = SetupOnDisk{true, reload.Applied(), setup.stamp};
  const int changes = reload.Changes();
  log.Write(LogPriority::kInfo,
            std::string("reload: ") + kSetupFileName + " applied, " +
                (changes == 0 ? std::string("the server already ran what it says")
                              : std::to_string(changes) +
                                    (changes == 1 ? " change" : " changes")));
  return ReloadOutcome::kApplied;
}

ReloadOutcome ReloadSetupFile(LineTable& table) {
  const NewSetup setup = ReadSetupForReload(table.FolderFd(), table.DataLines());
  MutexLock lock(table.engineLock);
  return ApplyReload(table, setup);
}

}  // namespace qmx
