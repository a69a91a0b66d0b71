// Reloading qmx.txt into a running server (qmxd does it on SIGHUP).
//
// The new file is read and checked as `qmxd --check` checks it, without the
// lock and without touching the line table. A file that cannot be read, or
// that the check faults, changes nothing. Otherwise it is compared with the
// file as the server last read or saved it (LineTable::setupOnDisk), not with
// the running state, and only what changed in the file is applied; the rest
// of the running state stays as it is (a baud rate set by `open` or by a
// remote client, a port closed by `close`, a copy line added by `receive`).
// The comparison is by file line:
//
//   - the control line's TCP port: the control line listens on the new port;
//     when it cannot, it listens on the old one again and the log says why;
//   - a data line's TCP port alone: the line's listener moves to the new
//     port (its client goes), its serial port stays open;
//   - a data line's serial port, or whether the line is used at all: the
//     line is set up again as the window's OK does (DeactivateLine,
//     ActivateLine), in line order, so a copy line finds its port open;
//   - a serial port's line: its settings are set up again in place where the
//     port is open (no close, so DTR stays), and kept for its next open
//     otherwise; a port the server holds under a name the file changed is
//     reopened under the new name, with its data line;
//   - the remarks and the minimize flag are kept for the next save.
//
// Lines and ports whose file lines did not change are not touched: their
// clients stay and no byte in flight is lost. A move to a TCP port that
// cannot listen, and port settings the device refuses, are not remembered as
// read, so the next reload tries them again.
//
// Each applied change is one line of the session log ("reload: TCP port of
// data line 2 8003 -> 8010"), and so is a reload that found no change; a
// refused file logs each problem and that nothing changed. Failures of the
// lines themselves go to the error log, as the window's OK logs them.
//
// Threads: ReadSetupForReload takes no lock. ApplyReload runs with
// engineLock held, like a control command or the window's OK, on the thread
// that asked for the reload (qmxd's main thread); ReloadSetupFile does both.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "engine/line_table.h"
#include "engine/settings_check.h"

namespace qmx {

// Which file lines differ between two versions of the settings.
struct SetupDiff {
  enum class Line {
    kSame,
    kTcpPort,   // the TCP port text alone, from one port to another
    kReplaced,  // the serial port text, or whether the line is used
  };
  std::array<Line, kMaxLineCount> lines{};  // line 0: kSame or kTcpPort
  std::array<bool, kMaxPortCount> ports{};  // any field of the port's line
  std::vector<int> remarkLines;             // file lines (1 to 19) whose remark differs
  bool startMinimized = false;

  bool Empty() const;
};

SetupDiff DiffSetup(const SetupSettings& before, const SetupSettings& after);

// The file as a reload finds it: read (or why not), and checked.
struct NewSetup {
  bool readable = false;
  std::string unreadable;  // why the file cannot be read
  SetupSettings settings;
  SetupFileStamp stamp;
  std::vector<SettingsProblem> problems;
};

NewSetup ReadSetupForReload(int folderFd, int dataLines);

enum class ReloadOutcome {
  kApplied,    // at least one change was applied (some may have failed)
  kUnchanged,  // the file says what it said when last read or saved
  kRefused,    // unreadable, or faulted by the check: nothing changed
};

ReloadOutcome ApplyReload(LineTable& table, const NewSetup& setup)
    REQUIRES(table.engineLock);

// Reads and checks qmx.txt in the table's folder, then applies it with
// engineLock held.
ReloadOutcome ReloadSetupFile(LineTable& table) EXCLUDES(table.engineLock);

}  // namespace qmx
