// Checking the settings without serving them: what start-up would log about
// qmx.txt, found without opening a device, binding a port or starting a
// thread. `qmxd --check` prints the result; the unit's reload runs it first.
//
// Found: a file that cannot be read; a TCP port text that is no port, or a
// port two lines share; a data line naming a serial port other than its own
// or copying a port no line serves; a port whose line settings do not parse;
// a device that is there but cannot be a serial port or may not be opened. A
// device that is absent is no problem: the server waits for it. A port that
// another program holds is not looked for (the running server itself holds
// its ports and its listeners while a reload checks the file).
//
// Threads: any thread, no lock: the checks read the file and the folder's
// device entries, never the line table's state, so a running server's reload
// checks its new file while the lines go on.
#pragma once

#include <string>
#include <vector>

#include "engine/line_table.h"

namespace qmx {

struct SettingsProblem {
  int fileLine = 0;   // the line of qmx.txt (1-based), 0 for the file as a whole
  std::string entry;  // the error-log entry start-up would make, with its reason
};

// The problems of these settings, with the device names resolved in the
// folder `folderFd`.
std::vector<SettingsProblem> CheckSetupSettings(const SetupSettings& settings,
                                                int folderFd);
// Reads qmx.txt in the table's folder and checks it; the table itself is
// left as it is.
std::vector<SettingsProblem> CheckSetupFile(LineTable& table);

// "qmx.txt:3: TCP port 80x1 open failure: not a TCP port", or without the
// line number for a problem of the whole file.
std::string FormatSettingsProblem(const SettingsProblem& problem);

}  // namespace qmx
