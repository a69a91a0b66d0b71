#include "engine/startup.h"

#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "engine/settings_file.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "serial/rs_port.h"

namespace qmx {

void BindLineQueues(LineTable& table) {
  for (int s = 0; s < kMaxControlClients; ++s) {
    table.net.TcpBindInput(ControlSessionRecord(s), &table.ControlQueue(s),
                           &table.wakeEvent);
  }
  for (int n = 0; n < table.DataLines(); ++n) {
    table.net.TcpBindInput(n + 1, &table.txQueue[n], &table.wakeEvent);
    table.serial.RsBindInput(n, &table.rxQueue[n], &table.wakeEvent);
  }
}

const std::string& SetupFileProblem(LineTable& table) { return table.setupFileProblem; }

int ServerStartup(LineTable& table) {
  int error = 0;
  ClearServerStopping(table);
  BindLineQueues(table);
  table.net.TcpStartup(&error);
  table.wakeEvent.Open();
  MutexLock lock(table.engineLock);
  table.setupFileProblem.clear();
  table.SizeErrorLog();
  std::string reason;
  if (!ReadSetupFile(table, &reason)) {
    DebugTrace("Cann't open qmx.txt\n");
    table.setupFileProblem = reason;
    for (auto& route : table.routeTable) route.store(-1);
    for (int line = 0; line < table.LineCount(); ++line) {
      table.tcpPortText[line] = kUnused;
      if (line > 0) table.serialPortText[line] = kUnused;
    }
    table.AppendErrorLog(
        WithReason(FormatMessage1(kMsgCannotOpen, kSetupFileName), reason));
    return 1;
  }
  // A port is never open at start-up.
  CloseAllPorts(table);
  ActivateAllLines(table);
  return 0;
}

bool ControlLineDown(LineTable& table) {
  MutexLock lock(table.engineLock);
  return table.tcpPortText[0] != kUnused && !table.net.TcpLineListening(0);
}

int ServerShutdown(LineTable& table) {
  int error = 0;
  // Marked before the lock is taken: a command or window handler that waits
  // for the lock meanwhile finds the server stopping and changes nothing, so
  // no port or thread is started after the clean-up below.
  MarkServerStopping(table);
  MutexLock lock(table.engineLock);
  for (int line = 0; line < table.LineCount(); ++line) {
    if (table.net.tcpLines[line].state.load() > LineState::kNone)
      table.net.TcpDisconnect(line, &error);
  }
  table.net.TcpCleanup(&error);
  CloseAllPorts(table);
  table.ClearErrorLog();
  table.wakeEvent.Close();
  return 1;
}

}  // namespace qmx
