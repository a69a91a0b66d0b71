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
// Threads: CheckSetupFile reads the file into the line table, so it needs
// engineLock and a line table no server is running on.
#pragma once

#include <string>
#include <vector>

#include "engine/line_table.h"

namespace qmx {

struct SettingsProblem {
  int fileLine = 0;   // the line of qmx.txt (1-based), 0 for the file as a whole
  std::string entry;  // the error-log entry start-up would make, with its reason
};

std::vector<SettingsProblem> CheckSetupFile(LineTable& table) REQUIRES(table.engineLock);

// "qmx.txt:3: TCP port 80x1 open failure: not a TCP port", or without the
// line number for a problem of the whole file.
std::string FormatSettingsProblem(const SettingsProblem& problem);

}  // namespace qmx
