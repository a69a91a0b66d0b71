#include "engine/startup.h"

#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "engine/settings_file.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "serial/rs_port.h"

namespace qmx {

void BindLineQueues() {
  TcpBindInput(0, &cmdQueue, &wakeEvent);
  for (int n = 0; n < kPortCount; ++n) {
    TcpBindInput(n + 1, &txQueue[n], &wakeEvent);
    RsBindInput(n, &rxQueue[n], &wakeEvent);
  }
}

namespace {
std::string setupFileProblem;
}  // namespace

const std::string& SetupFileProblem() { return setupFileProblem; }

int ServerStartup() {
  int error = 0;
  setupFileProblem.clear();
  ClearServerStopping();
  BindLineQueues();
  TcpStartup(&error);
  wakeEvent.Open();
  MutexLock lock(engineLock);
  SizeErrorLog();
  std::string reason;
  if (!ReadSetupFile(&reason)) {
    DebugTrace("Cann't open qmx.txt\n");
    setupFileProblem = reason;
    for (auto& route : routeTable) route.store(-1);
    for (int line = 0; line < kLineCount; ++line) {
      tcpPortText[line] = kUnused;
      if (line > 0) serialPortText[line] = kUnused;
    }
    AppendErrorLog(WithReason(FormatMessage1(kMsgCannotOpen, kSetupFileName), reason));
    return 1;
  }
  // A port is never open at start-up.
  CloseAllPorts();
  ActivateAllLines();
  return 0;
}

bool ControlLineDown() {
  MutexLock lock(engineLock);
  return tcpPortText[0] != kUnused && !TcpLineListening(0);
}

int ServerShutdown() {
  int error = 0;
  // Marked before the lock is taken: a command or window handler that waits
  // for the lock meanwhile finds the server stopping and changes nothing, so
  // no port or thread is started after the clean-up below.
  MarkServerStopping();
  MutexLock lock(engineLock);
  for (int line = 0; line < kLineCount; ++line) {
    if (tcpLines[line].state.load() > LineState::kNone) TcpDisconnect(line, &error);
  }
  TcpCleanup(&error);
  CloseAllPorts();
  ClearErrorLog();
  wakeEvent.Close();
  return 1;
}

}  // namespace qmx
