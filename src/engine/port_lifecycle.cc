#include "engine/port_lifecycle.h"

#include <array>
#include <atomic>

#include "net/socket_layer.h"
#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "serial/rs_port.h"

namespace qmx {
namespace {

// How often a port that awaits its device tries to open it.
constexpr std::chrono::milliseconds kDeviceRetryInterval(1000);

inline constexpr const char* kMsgDeviceGone = "%1 device lost; waiting for it";
inline constexpr const char* kMsgDeviceBack = "%1 device back";

void MarkRefresh(LineTable& table) { table.refreshNeeded.store(1); }

void SetState(LineTable& table, int k, PortState state) REQUIRES(table.engineLock) {
  if (table.portState[k] == PortState::kAwaitingDevice) table.awaitingPorts.fetch_sub(1);
  if (state == PortState::kAwaitingDevice) table.awaitingPorts.fetch_add(1);
  table.portState[k] = state;
}

void FillRecord(RsPort& port, const PortSettings& s) {
  CopyField(port.name, s.name);
  CopyField(port.baud, s.baud);
  CopyField(port.parity, s.parity);
  CopyField(port.dataBits, s.dataBits);
  CopyField(port.stopBits, s.stopBits);
  CopyField(port.definition, s.definition);
  CopyField(port.flow, s.flow);
}

// The texts of a port record or of configured settings, which share their
// field names.
template <class Fields>
PortSettings SettingsOf(const Fields& f) {
  PortSettings s;
  s.name = FieldText(f.name);
  s.baud = FieldText(f.baud);
  s.parity = FieldText(f.parity);
  s.dataBits = FieldText(f.dataBits);
  s.stopBits = FieldText(f.stopBits);
  s.definition = FieldText(f.definition);
  s.flow = FieldText(f.flow);
  return s;
}

PortSettings FromRecord(const RsPort& port) { return SettingsOf(port); }

// Empties the texts of port record k that mark it in service.
void ClearPortRecord(LineTable& table, int k) REQUIRES(table.engineLock) {
  RsPort& port = table.serial.rsPorts[k];
  ClearField(port.name);
  ClearField(port.baud);
  ClearField(port.parity);
  ClearField(port.dataBits);
  ClearField(port.stopBits);
  ClearField(port.definition);
  ClearField(port.flow);
}

// Opens port k's device with `settings`. On success the record holds them and
// the port is open; on failure the record is empty and, when the device was
// simply not there, the port awaits it.
// *why, when given, says why an open failed.
bool OpenDevice(LineTable& table, int k, const PortSettings& settings,
                std::string* why = nullptr) REQUIRES(table.engineLock) {
  if (table.serverStopping.load()) return false;
  table.rxQueue[k].Allocate(kQueueCapacity);
  FillRecord(table.serial.rsPorts[k], settings);
  if (table.serial.RsOpen(k)) {
    SetState(table, k, PortState::kOpen);
    return true;
  }
  if (why != nullptr) *why = table.serial.RsOpenFailureText(k);
  const bool absent = table.serial.RsDeviceAbsent(k);
  ClearPortRecord(table, k);
  if (absent) {
    table.awaitedSettings[k] = settings;
    table.nextAttempt[k] = std::chrono::steady_clock::now() + kDeviceRetryInterval;
    SetState(table, k, PortState::kAwaitingDevice);
  } else {
    table.rxQueue[k].Free();
    SetState(table, k, PortState::kClosed);
  }
  return false;
}

// Releases port k whatever its state: its device, its wait, its queue.
void ReleasePort(LineTable& table, int k) REQUIRES(table.engineLock) {
  if (table.portState[k] == PortState::kOpen ||
      table.serial.rsPorts[k].handle.load() >= 0)
    table.serial.RsClose(k);
  // Closed on purpose: a later open resolves the name afresh.
  table.serial.RsForgetDevice(k);
  ClearPortRecord(table, k);
  table.serial.rsPorts[k].deviceGone.store(false);
  table.rxQueue[k].Free();
  SetState(table, k, PortState::kClosed);
}

// Ends data line L: its listener and client, its send queue, its route, its
// texts.
void EndLine(LineTable& table, int L) REQUIRES(table.engineLock) {
  int error = 0;
  if (table.net.tcpLines[L].state.load() > LineState::kNone)
    table.net.TcpDisconnect(L, &error);
  table.txQueue[L - 1].Free();
  table.routeTable[L - 1].store(-1);
  table.tcpPortText[L] = kUnused;
  table.serialPortText[L] = kUnused;
  table.SetLineStatus(L, kUnused);
}

bool IsPortNumberText(std::string_view text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// The listener of a data line, with its traces and error-log entry.
Activation StartDataServer(LineTable& table, int L) REQUIRES(table.engineLock) {
  int error = 0;
  if (StartTcpServer(table, L, &error) == 0) {
    DebugTrace("Data Server Socket Success");
    return Activation::kOk;
  }
  DebugTrace("Data Server Socket Fail");
  table.AppendErrorLog(WithReason(
      FormatMessage1(kMsgTcpPortFailure, FieldText(table.net.tcpLines[L].port)),
      TcpErrorText(error)));
  return Activation::kFailed;
}

Activation ActivateControlLine(LineTable& table) REQUIRES(table.engineLock) {
  if (table.tcpPortText[0] == kUnused) return Activation::kLineUnused;
  CopyField(table.net.tcpLines[0].port, table.tcpPortText[0]);
  for (int s = 0; s < table.net.ControlClients(); ++s)
    table.ControlQueue(s).Allocate(kQueueCapacity);
  if (table.serverStopping.load()) return Activation::kFailed;
  int error = 0;
  if (StartTcpServer(table, 0, &error) == 0) {
    DebugTrace("Control Server Socket Success");
    return Activation::kOk;
  }
  DebugTrace("Control Server Socket Fail");
  table.AppendErrorLog(WithReason(
      FormatMessage1(kMsgTcpPortFailure, FieldText(table.net.tcpLines[0].port)),
      TcpErrorText(error)));
  return Activation::kFailed;
}

// A bridged line: its port first, then its listener. A port whose device is
// absent leaves the line failed until the device comes; the line then comes
// up by itself.
Activation ActivateBridgedLine(LineTable& table, int L, int n)
    REQUIRES(table.engineLock) {
  table.routeTable[n].store(n);
  CopyField(table.net.tcpLines[L].port, table.tcpPortText[L]);
  std::string why;
  if (!OpenDevice(table, n, ConfiguredSettings(table, n), &why)) {
    DebugTrace("Com port fail");
    table.AppendErrorLog(WithReason(
        FormatMessage1(kMsgPortFailure, FieldText(table.comSettings[n].name)), why));
    if (table.portState[n] != PortState::kAwaitingDevice) table.routeTable[n].store(-1);
    return Activation::kFailed;
  }
  DebugTrace("Com port success");
  table.txQueue[n].Allocate(kQueueCapacity);
  return StartDataServer(table, L);
}

Activation ActivateReceiveLine(LineTable& table, int L, int n)
    REQUIRES(table.engineLock) {
  const std::string& text = table.serialPortText[L];
  size_t blank = text.find(' ');
  std::string wanted =
      (blank == std::string::npos || blank == 0) ? std::string() : text.substr(blank + 1);
  const int m = wanted.empty() ? -1 : FindOpenPort(table, wanted);
  if (m < 0) return Activation::kFailed;
  table.routeTable[n].store(m);
  CopyField(table.net.tcpLines[L].port, table.tcpPortText[L]);
  table.txQueue[n].Allocate(kQueueCapacity);
  return StartDataServer(table, L);
}

// Port k's device is back: the port is open again and its bridged line comes
// up as if `open` had just succeeded for it.
void DeviceReturned(LineTable& table, int k) REQUIRES(table.engineLock) {
  const int L = k + 1;
  table.serial.rsPorts[k].tally.deviceReturns.fetch_add(1, std::memory_order_relaxed);
  table.AppendErrorLog(
      FormatMessage1(kMsgDeviceBack, FieldText(table.serial.rsPorts[k].name)));
  table.routeTable[k].store(k);
  if (EnsureDataListener(table, L)) {
    table.tcpPortText[L] = std::string(FieldText(table.net.tcpLines[L].port));
    table.serialPortText[L] = std::string(FieldText(table.serial.rsPorts[k].name));
    table.SetLineStatus(L, "OK");
  }
  MarkRefresh(table);
}

void DeviceLost(LineTable& table, int k) REQUIRES(table.engineLock) {
  const PortSettings settings = FromRecord(table.serial.rsPorts[k]);
  table.serial.rsPorts[k].tally.deviceLosses.fetch_add(1, std::memory_order_relaxed);
  table.AppendErrorLog(FormatMessage1(kMsgDeviceGone, settings.name));
  table.serial.RsClose(k);
  ClearPortRecord(table, k);
  table.serial.rsPorts[k].deviceGone.store(false);
  table.awaitedSettings[k] = settings;
  table.nextAttempt[k] = std::chrono::steady_clock::now() + kDeviceRetryInterval;
  SetState(table, k, PortState::kAwaitingDevice);
  if (table.routeTable[k].load() == k) table.SetLineStatus(k + 1, "NG");
  MarkRefresh(table);
}

}  // namespace

std::string DefinitionText(std::string_view baud, std::string_view parity,
                           std::string_view dataBits, std::string_view stopBits) {
  std::string out(baud);
  out += ',';
  out += parity;
  out += ',';
  out += dataBits;
  out += ',';
  out += stopBits;
  return out;
}

PortSettings ConfiguredSettings(LineTable& table, int k) {
  return SettingsOf(table.comSettings[k]);
}

int FindConfiguredPort(LineTable& table, std::string_view name) {
  for (int k = 0; k < table.DataLines(); ++k) {
    if (FieldText(table.comSettings[k].name) == name) return k;
  }
  return -1;
}

int FindOpenPort(LineTable& table, std::string_view name) {
  for (int k = 0; k < table.DataLines(); ++k) {
    if (table.portState[k] == PortState::kOpen &&
        FieldText(table.serial.rsPorts[k].name) == name)
      return k;
  }
  return -1;
}

PortState PortStateOf(LineTable& table, int k) { return table.portState[k].load(); }

int StartTcpServer(LineTable& table, int line, int* error) {
  int code = 0;
  if (error == nullptr) error = &code;
  *error = 0;
  if (table.serverStopping.load()) return -2;
  if (!table.net.TcpSocket(line, error)) return -2;
  if (!table.net.TcpListen(line, error)) return -2;
  return 0;
}

bool EnsureDataListener(LineTable& table, int L) {
  if (table.net.TcpLineListening(L)) return true;
  int error = 0;
  // A line whose earlier listen failed still holds its socket; release it so
  // the listener can start afresh.
  if (table.net.tcpLines[L].state.load() > LineState::kNone)
    table.net.TcpDisconnect(L, &error);
  if (IsPortNumberText(table.tcpPortText[L]))
    CopyField(table.net.tcpLines[L].port, table.tcpPortText[L]);
  table.txQueue[L - 1].Allocate(kQueueCapacity);
  if (StartTcpServer(table, L) != 0) return false;
  DebugTrace("Data Server Socket Success");
  return true;
}

Activation ActivateLine(LineTable& table, int line) {
  if (line == 0) return ActivateControlLine(table);
  if (line < 1 || line >= table.LineCount()) return Activation::kNothing;
  const int n = line - 1;
  if (table.tcpPortText[line] == kUnused || table.serialPortText[line] == kUnused) {
    return Activation::kLineUnused;
  }
  if (table.serialPortText[line] == FieldText(table.comSettings[n].name)) {
    return ActivateBridgedLine(table, line, n);
  }
  if (table.serialPortText[line].starts_with("receive"))
    return ActivateReceiveLine(table, line, n);
  return Activation::kNothing;
}

void DeactivateLine(LineTable& table, int line) {
  int error = 0;
  if (line == 0) {
    if (table.tcpPortText[0] != kUnused) {
      table.net.TcpDisconnect(0, &error);
      for (int s = 0; s < kMaxControlClients; ++s) table.ControlQueue(s).Free();
    }
    return;
  }
  if (line < 1 || line >= table.LineCount()) return;
  const int n = line - 1;
  // A bridged line's port goes with it, whatever its name; a port held or
  // awaited for this line is never left behind.
  const bool bridged =
      table.routeTable[n].load() == n || table.portState[n] != PortState::kClosed;
  if (table.net.tcpLines[line].state.load() > LineState::kNone)
    table.net.TcpDisconnect(line, &error);
  table.txQueue[n].Free();
  table.routeTable[n].store(-1);
  if (bridged) ReleasePort(table, n);
}

void ApplyLineTexts(LineTable& table, int line, const std::string& tcpText,
                    const std::string& serialText) {
  DeactivateLine(table, line);
  table.tcpPortText[line] = tcpText;
  if (line > 0) table.serialPortText[line] = serialText;
  ActivationResultText(ActivateLine(table, line), table.lineStatus[line]);
}

void ActivationResultText(Activation result, char (&buffer)[16]) {
  switch (result) {
    case Activation::kLineUnused:
      CopyField(buffer, "unused");
      break;
    case Activation::kOk:
      CopyField(buffer, "OK");
      break;
    case Activation::kFailed:
      CopyField(buffer, "NG");
      break;
    case Activation::kNothing:
      ClearField(buffer);
      break;
  }
}

void ActivateAllLines(LineTable& table) {
  for (auto& route : table.routeTable) route.store(-1);
  // The lines that copy a port come up after every line that opens one, so a
  // copy of a port a later line bridges finds it open, as the file says.
  for (int pass = 0; pass < 2; ++pass) {
    for (int line = 0; line < table.LineCount(); ++line) {
      const bool copies = line > 0 && table.serialPortText[line].starts_with("receive");
      if (copies != (pass == 1)) continue;
      ActivationResultText(ActivateLine(table, line), table.lineStatus[line]);
    }
  }
}

OpenOutcome OpenPortLine(LineTable& table, int k, const PortSettings& settings) {
  const int L = k + 1;
  if (table.portState[k] == PortState::kOpen) return OpenOutcome::kAlreadyOpen;
  if (table.portState[k] == PortState::kAwaitingDevice) ReleasePort(table, k);
  if (!OpenDevice(table, k, settings)) {
    // The line is given up; a port whose device is absent comes up with it
    // once the device is there. A line that copies another port is left to it.
    const int route = table.routeTable[k].load();
    if (route == k || route == -1) {
      int error = 0;
      if (route == k && table.net.tcpLines[L].state.load() > LineState::kNone)
        table.net.TcpDisconnect(L, &error);
      table.routeTable[k].store(table.portState[k] == PortState::kAwaitingDevice ? k
                                                                                 : -1);
    }
    table.tcpPortText[L] = kUnused;
    table.serialPortText[L] = kUnused;
    table.SetLineStatus(L, kUnused);
    return OpenOutcome::kDeviceFailed;
  }
  MarkRefresh(table);
  CopyPortSettings(table.comSettings[k], table.serial.rsPorts[k]);
  if (!EnsureDataListener(table, L)) return OpenOutcome::kListenFailed;
  table.routeTable[k].store(k);
  table.tcpPortText[L] = std::string(FieldText(table.net.tcpLines[L].port));
  table.serialPortText[L] = std::string(FieldText(table.serial.rsPorts[k].name));
  table.SetLineStatus(L, "OK");
  return OpenOutcome::kOpened;
}

CopyOutcome AddCopyLine(LineTable& table, int k, std::string_view portName, int* line) {
  int i = 0;
  while (i < table.DataLines() && table.routeTable[i].load() != -1) ++i;
  if (i == table.DataLines()) return CopyOutcome::kNoFreeLine;
  const int J = i + 1;
  *line = J;
  if (!EnsureDataListener(table, J)) return CopyOutcome::kListenFailed;
  table.tcpPortText[J] = std::string(FieldText(table.net.tcpLines[J].port));
  table.routeTable[i].store(k);
  table.serialPortText[J] = "receive " + std::string(portName);
  table.SetLineStatus(J, "OK");
  MarkRefresh(table);
  return CopyOutcome::kAdded;
}

CloseOutcome ClosePortByName(LineTable& table, std::string_view name) {
  const int configured = FindConfiguredPort(table, name);
  if (configured < 0) return CloseOutcome::kUnknownPort;
  // The port the server holds (or awaits) under this name, whichever slot.
  int k = FindOpenPort(table, name);
  if (k < 0 && table.portState[configured] == PortState::kAwaitingDevice) k = configured;
  if (k < 0) return CloseOutcome::kNotOpen;
  ReleasePort(table, k);
  for (int M = 1; M < table.LineCount(); ++M) {
    if (table.routeTable[M - 1].load() == k) EndLine(table, M);
  }
  MarkRefresh(table);
  return CloseOutcome::kClosed;
}

CloseOutcome CloseLineByTcpPort(LineTable& table, std::string_view text) {
  if (text == table.tcpPortText[0]) return CloseOutcome::kControlLine;
  int L = 1;
  while (L < table.LineCount() && table.tcpPortText[L] != text) ++L;
  if (L == table.LineCount()) return CloseOutcome::kUnknownPort;
  const int n = L - 1;
  const bool bridged =
      table.routeTable[n].load() == n || table.portState[n] != PortState::kClosed;
  EndLine(table, L);
  if (bridged) ReleasePort(table, n);
  MarkRefresh(table);
  return CloseOutcome::kClosed;
}

bool ChangePortSettings(LineTable& table, int k, const PortSettings& settings) {
  if (k < 0 || k >= table.DataLines() || table.portState[k] != PortState::kOpen)
    return false;
  const PortSettings previous = FromRecord(table.serial.rsPorts[k]);
  PortSettings next = settings;
  next.name = previous.name;
  FillRecord(table.serial.rsPorts[k], next);
  if (table.serial.RsSetupConnection(k) == 0) {
    FillRecord(table.serial.rsPorts[k], previous);
    (void)table.serial.RsSetupConnection(k);
    return false;
  }
  CopyPortSettings(table.comSettings[k], table.serial.rsPorts[k]);
  CopyField(table.comSettings[k].stopBits, FieldText(table.serial.rsPorts[k].stopBits));
  MarkRefresh(table);
  return true;
}

PortSettings OpenPortSettings(LineTable& table, int k) {
  if (k < 0 || k >= table.DataLines() || table.portState[k] != PortState::kOpen)
    return PortSettings{};
  return FromRecord(table.serial.rsPorts[k]);
}

void ApplyPortSetup(LineTable& table, int k, const PortSettings& settings) {
  ComSetting& setting = table.comSettings[k];
  CopyField(setting.baud, settings.baud);
  CopyField(setting.parity, settings.parity);
  CopyField(setting.dataBits, settings.dataBits);
  CopyField(setting.stopBits, settings.stopBits);
  CopyField(setting.flow, settings.flow);
  CopyField(setting.definition, DefinitionText(settings.baud, settings.parity,
                                               settings.dataBits, settings.stopBits));
}

ReconfigureOutcome ReconfigurePort(LineTable& table, int k, const ComSetting& settings) {
  const PortState state = table.portState[k].load();
  const std::string_view held = state == PortState::kOpen
                                    ? FieldText(table.serial.rsPorts[k].name)
                                    : std::string_view(table.awaitedSettings[k].name);
  if (state != PortState::kClosed && held != FieldText(settings.name))
    return ReconfigureOutcome::kNeedsReopen;
  PortSettings next = SettingsOf(settings);
  if (state == PortState::kOpen) {
    return ChangePortSettings(table, k, next) ? ReconfigureOutcome::kInPlace
                                              : ReconfigureOutcome::kRefused;
  }
  if (state == PortState::kAwaitingDevice) table.awaitedSettings[k] = next;
  table.comSettings[k] = settings;
  MarkRefresh(table);
  return ReconfigureOutcome::kForNextOpen;
}

void ReleaseLineListener(LineTable& table, int L) {
  int error = 0;
  if (table.net.tcpLines[L].state.load() > LineState::kNone)
    table.net.TcpDisconnect(L, &error);
}

Activation MoveLineListener(LineTable& table, int L, const std::string& tcpText) {
  const int n = L - 1;
  ReleaseLineListener(table, L);
  table.tcpPortText[L] = tcpText;
  CopyField(table.net.tcpLines[L].port, tcpText);
  MarkRefresh(table);
  const int route = table.routeTable[n].load();
  // A bridged line whose port awaits its device listens once the device is
  // back (DeviceReturned), on the new port; a line that is off stays off.
  const bool served =
      route >= 0 && (route != n || table.portState[n] == PortState::kOpen);
  if (!served) return Activation::kNothing;
  const Activation result = StartDataServer(table, L);
  ActivationResultText(result, table.lineStatus[L]);
  return result;
}

bool FollowCopiedPort(LineTable& table, int L) {
  const int n = L - 1;
  const std::string& text = table.serialPortText[L];
  const int route = table.routeTable[n].load();
  if (!text.starts_with("receive ") || route < 0 || route == n) return false;
  const std::string_view wanted = std::string_view(text).substr(text.find(' ') + 1);
  const int open = FindOpenPort(table, wanted);
  if (open == route) return false;
  if (open < 0 && (table.portState[route] != PortState::kOpen ||
                   FieldText(table.serial.rsPorts[route].name) == wanted))
    return false;
  table.routeTable[n].store(open);
  table.SetLineStatus(L, open >= 0 ? "OK" : "NG");
  MarkRefresh(table);
  return true;
}

void RetryAbsentDevices(LineTable& table, std::chrono::steady_clock::time_point now) {
  bool gone = false;
  for (int k = 0; k < table.DataLines(); ++k)
    gone = gone || table.serial.rsPorts[k].deviceGone.load();
  if (!gone && table.awaitingPorts.load() == 0) return;
  MutexLock lock(table.engineLock);
  if (table.serverStopping.load()) return;
  for (int k = 0; k < table.DataLines(); ++k) {
    if (table.portState[k] == PortState::kOpen &&
        table.serial.rsPorts[k].deviceGone.load())
      DeviceLost(table, k);
  }
  for (int k = 0; k < table.DataLines(); ++k) {
    if (table.portState[k] != PortState::kAwaitingDevice || now < table.nextAttempt[k])
      continue;
    const PortSettings settings = table.awaitedSettings[k];
    FillRecord(table.serial.rsPorts[k], settings);
    if (table.serial.RsOpen(k)) {
      SetState(table, k, PortState::kOpen);
      DeviceReturned(table, k);
    } else {
      ClearPortRecord(table, k);
      table.nextAttempt[k] = now + kDeviceRetryInterval;
    }
  }
}

void MarkServerStopping(LineTable& table) { table.serverStopping.store(true); }
bool ServerStopping(LineTable& table) { return table.serverStopping.load(); }
void ClearServerStopping(LineTable& table) { table.serverStopping.store(false); }

void CloseAllPorts(LineTable& table) {
  for (int k = 0; k < table.DataLines(); ++k) {
    if (table.serial.rsPorts[k].handle.load() >= 0 ||
        table.serial.rsPorts[k].readThread.joinable())
      table.serial.RsClose(k);
    ClearPortRecord(table, k);
    table.serial.rsPorts[k].deviceGone.store(false);
    SetState(table, k, PortState::kClosed);
  }
}

}  // namespace qmx
