// Start-up and shutdown of the server.
//
// ServerStartup binds the line queues, starts the socket layer, opens
// wakeEvent, sizes the error log, reads qmx.txt and activates the control line
// and the eight data lines in order (port_lifecycle.h). ServerShutdown marks
// the server stopping, then closes every listener, the socket layer and every
// port, empties the error log and closes wakeEvent, which ends the relay
// thread. Both take engineLock themselves.
#pragma once

#include <string>

#include "engine/line_table.h"

namespace qmx {

// Points every line's socket record and every serial port at its queue in the
// line table and at wakeEvent. ServerStartup does it first.
void BindLineQueues(LineTable& table);

// Returns 1 when qmx.txt could not be read (the server then runs with every
// line unused), else 0.
int ServerStartup(LineTable& table) EXCLUDES(table.engineLock);
// Why the last ServerStartup could not read qmx.txt ("" when it could): the
// system's error text, or "not a regular file".
const std::string& SetupFileProblem(LineTable& table) REQUIRES(table.engineLock);
int ServerShutdown(LineTable& table) EXCLUDES(table.engineLock);

// True when the settings give the control line a TCP port and it does not
// listen (its activation failed and was logged).
bool ControlLineDown(LineTable& table) EXCLUDES(table.engineLock);

}  // namespace qmx
