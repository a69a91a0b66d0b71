#include "engine/startup.h"

#include <chrono>
#include <string>
#include <thread>

#include "engine/line_table.h"
#include "engine/settings_file.h"
#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

// The listener of a data line, with its traces and error-log entry.
int StartDataServer(int L) {
  if (StartTcpServer(L) == 0) {
    DebugTrace("Data Server Socket Success");
    return kActivationOk;
  }
  DebugTrace("Data Server Socket Fail");
  AppendErrorLog(FormatMessage1(kMsgTcpPortFailure, FieldText(tcpLines[L].port)));
  return kActivationFailed;
}

int ActivateControlLine() {
  if (tcpPortText[0] == kUnused) return kActivationUnused;
  CopyField(tcpLines[0].port, tcpPortText[0]);
  cmdQueue.Allocate(kQueueCapacity);
  if (StartTcpServer(0) == 0) {
    DebugTrace("Control Server Socket Success");
    return kActivationOk;
  }
  DebugTrace("Control Server Socket Fail");
  AppendErrorLog(FormatMessage1(kMsgTcpPortFailure, FieldText(tcpLines[0].port)));
  return kActivationFailed;
}

int ActivateBridgedLine(int L, int n) {
  rxQueue[n].Allocate(kQueueCapacity);
  RsPort& port = rsPorts[n];
  CopyPortSettings(port, comSettings[n]);
  if (!RsOpen(n)) {
    DebugTrace("Com port fail");
    AppendErrorLog(FormatMessage1(kMsgPortFailure, FieldText(port.name)));
    ClearPortRecord(n, /*flowToo=*/true);
    rxQueue[n].Free();
    return kActivationFailed;
  }
  DebugTrace("Com port success");
  routeTable[n].store(n);
  CopyField(tcpLines[L].port, tcpPortText[L]);
  txQueue[n].Allocate(kQueueCapacity);
  return StartDataServer(L);
}

int ActivateReceiveLine(int L, int n) {
  const std::string& text = serialPortText[L];
  size_t blank = text.find(' ');
  std::string wanted = (blank == std::string::npos || blank == 0) ? std::string()
                                                                  : text.substr(blank + 1);
  for (int m = 0; m < kPortCount; ++m) {
    std::string_view name = FieldText(rsPorts[m].name);
    if (!name.empty() && name == wanted) {
      routeTable[n].store(m);
      CopyField(tcpLines[L].port, tcpPortText[L]);
      txQueue[n].Allocate(kQueueCapacity);
      return StartDataServer(L);
    }
  }
  return kActivationFailed;
}

}  // namespace

int StartTcpServer(int line) {
  int error = 0;
  if (!TcpSocket(line, &error)) return -2;
  if (!TcpListen(line, &error)) return -2;
  return 0;
}

int ActivateLine(int line) {
  if (line == 0) return ActivateControlLine();
  if (line < 1 || line >= kLineCount) return kActivationNothing;
  const int n = line - 1;
  if (tcpPortText[line] == kUnused || serialPortText[line] == kUnused) {
    return kActivationUnused;
  }
  if (serialPortText[line] == FieldText(comSettings[n].name)) {
    return ActivateBridgedLine(line, n);
  }
  if (serialPortText[line].starts_with("receive")) return ActivateReceiveLine(line, n);
  return kActivationNothing;
}

void DeactivateLine(int line) {
  int error = 0;
  if (line == 0) {
    if (tcpPortText[0] != kUnused) {
      TcpDisconnect(0, &error);
      cmdQueue.Free();
    }
    return;
  }
  if (line < 1 || line >= kLineCount || tcpPortText[line] == kUnused) return;
  const int n = line - 1;
  TcpDisconnect(line, &error);
  txQueue[n].Free();
  routeTable[n].store(-1);
  if (serialPortText[line].starts_with("com")) ClosePortAndQueue(n);
}

void ClearPortRecord(int n, bool flowToo) {
  RsPort& port = rsPorts[n];
  ClearField(port.name);
  ClearField(port.baud);
  ClearField(port.parity);
  ClearField(port.dataBits);
  ClearField(port.definition);
  if (flowToo) ClearField(port.flow);
}

void ClosePortAndQueue(int n) {
  RsClose(n);
  ClearPortRecord(n, /*flowToo=*/false);
  rxQueue[n].Free();
}

void ActivationResultText(int result, char (&buffer)[16]) {
  switch (result) {
    case kActivationUnused:
      CopyField(buffer, "unused");
      break;
    case kActivationOk:
      CopyField(buffer, "OK");
      break;
    case kActivationFailed:
      CopyField(buffer, "NG");
      break;
    default:
      ClearField(buffer);
      break;
  }
}

int ActivateAllLines() {
  for (auto& route : routeTable) route.store(-1);
  for (int line = 0; line < kLineCount; ++line) {
    ActivationResultText(ActivateLine(line), lineStatus[line]);
  }
  return 0;
}

void BindLineQueues() {
  TcpBindInput(0, &cmdQueue, &wakeEvent);
  for (int n = 0; n < kPortCount; ++n) {
    TcpBindInput(n + 1, &txQueue[n], &wakeEvent);
    RsBindInput(n, &rxQueue[n], &wakeEvent);
  }
}

int ServerStartup() {
  int error = 0;
  BindLineQueues();
  TcpStartup(&error);
  wakeEvent.Open();
  std::lock_guard lock(engineLock);
  SizeErrorLog();
  if (!ReadSetupFile()) {
    DebugTrace("Cann't open qmx.txt\n");
    for (auto& route : routeTable) route.store(-1);
    for (int line = 0; line < kLineCount; ++line) {
      tcpPortText[line] = kUnused;
      if (line > 0) serialPortText[line] = kUnused;
    }
    AppendErrorLog(FormatMessage1(kMsgCannotOpen, kSetupFileName));
    return 1;
  }
  // A port is never open at start-up; the records only lose their texts.
  for (int n = 0; n < kPortCount; ++n) ClearPortRecord(n, /*flowToo=*/false);
  return ActivateAllLines();
}

int ServerShutdown() {
  using std::chrono::milliseconds;
  int error = 0;
  std::lock_guard lock(engineLock);
  for (int line = 0; line < kLineCount; ++line) {
    if (tcpLines[line].state.load() > 0) {
      TcpDisconnect(line, &error);
      std::this_thread::sleep_for(milliseconds(100));
    }
  }
  TcpCleanup(&error);
  for (int n = 0; n < kPortCount; ++n) {
    if (rsPorts[n].handle.load() >= 0) RsClose(n);
    std::this_thread::sleep_for(milliseconds(100));
  }
  ClearErrorLog();
  wakeEvent.Close();
  return 1;
}

}  // namespace qmx
