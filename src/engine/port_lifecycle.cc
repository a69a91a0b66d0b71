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

std::atomic<bool> serverStopping{false};

// Per port, guarded by engineLock: its state and, while it awaits its device,
// the settings to open it with and the time of the next attempt. awaiting
// counts the ports in that state, so the relay need not take the lock to learn
// there is nothing to retry.
std::array<std::atomic<PortState>, kPortCount> portState{};
std::array<PortSettings, kPortCount> awaitedSettings;
std::array<std::chrono::steady_clock::time_point, kPortCount> nextAttempt{};
std::atomic<int> awaiting{0};

void MarkRefresh() { refreshNeeded.store(1); }

void SetState(int k, PortState state) REQUIRES(engineLock) {
  if (portState[k] == PortState::kAwaitingDevice) awaiting.fetch_sub(1);
  if (state == PortState::kAwaitingDevice) awaiting.fetch_add(1);
  portState[k] = state;
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
void ClearPortRecord(int k) REQUIRES(engineLock) {
  RsPort& port = rsPorts[k];
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
bool OpenDevice(int k, const PortSettings& settings, std::string* why = nullptr)
    REQUIRES(engineLock) {
  if (serverStopping.load()) return false;
  rxQueue[k].Allocate(kQueueCapacity);
  FillRecord(rsPorts[k], settings);
  if (RsOpen(k)) {
    SetState(k, PortState::kOpen);
    return true;
  }
  if (why != nullptr) *why = RsOpenFailureText(k);
  const bool absent = RsDeviceAbsent(k);
  ClearPortRecord(k);
  if (absent) {
    awaitedSettings[k] = settings;
    nextAttempt[k] = std::chrono::steady_clock::now() + kDeviceRetryInterval;
    SetState(k, PortState::kAwaitingDevice);
  } else {
    rxQueue[k].Free();
    SetState(k, PortState::kClosed);
  }
  return false;
}

// Releases port k whatever its state: its device, its wait, its queue.
void ReleasePort(int k) REQUIRES(engineLock) {
  if (portState[k] == PortState::kOpen || rsPorts[k].handle.load() >= 0) RsClose(k);
  // Closed on purpose: a later open resolves the name afresh.
  RsForgetDevice(k);
  ClearPortRecord(k);
  rsPorts[k].deviceGone.store(false);
  rxQueue[k].Free();
  SetState(k, PortState::kClosed);
}

// Ends data line L: its listener and client, its send queue, its route, its
// texts.
void EndLine(int L) REQUIRES(engineLock) {
  int error = 0;
  if (tcpLines[L].state.load() > LineState::kNone) TcpDisconnect(L, &error);
  txQueue[L - 1].Free();
  routeTable[L - 1].store(-1);
  tcpPortText[L] = kUnused;
  serialPortText[L] = kUnused;
  SetLineStatus(L, kUnused);
}

bool IsPortNumberText(std::string_view text) {
  return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

// The listener of a data line, with its traces and error-log entry.
Activation StartDataServer(int L) REQUIRES(engineLock) {
  int error = 0;
  if (StartTcpServer(L, &error) == 0) {
    DebugTrace("Data Server Socket Success");
    return Activation::kOk;
  }
  DebugTrace("Data Server Socket Fail");
  AppendErrorLog(
      WithReason(FormatMessage1(kMsgTcpPortFailure, FieldText(tcpLines[L].port)),
                 TcpErrorText(error)));
  return Activation::kFailed;
}

Activation ActivateControlLine() REQUIRES(engineLock) {
  if (tcpPortText[0] == kUnused) return Activation::kLineUnused;
  CopyField(tcpLines[0].port, tcpPortText[0]);
  cmdQueue.Allocate(kQueueCapacity);
  if (serverStopping.load()) return Activation::kFailed;
  int error = 0;
  if (StartTcpServer(0, &error) == 0) {
    DebugTrace("Control Server Socket Success");
    return Activation::kOk;
  }
  DebugTrace("Control Server Socket Fail");
  AppendErrorLog(
      WithReason(FormatMessage1(kMsgTcpPortFailure, FieldText(tcpLines[0].port)),
                 TcpErrorText(error)));
  return Activation::kFailed;
}

// A bridged line: its port first, then its listener. A port whose device is
// absent leaves the line failed until the device comes; the line then comes
// up by itself.
Activation ActivateBridgedLine(int L, int n) REQUIRES(engineLock) {
  routeTable[n].store(n);
  CopyField(tcpLines[L].port, tcpPortText[L]);
  std::string why;
  if (!OpenDevice(n, ConfiguredSettings(n), &why)) {
    DebugTrace("Com port fail");
    AppendErrorLog(
        WithReason(FormatMessage1(kMsgPortFailure, FieldText(comSettings[n].name)), why));
    if (portState[n] != PortState::kAwaitingDevice) routeTable[n].store(-1);
    return Activation::kFailed;
  }
  DebugTrace("Com port success");
  txQueue[n].Allocate(kQueueCapacity);
  return StartDataServer(L);
}

Activation ActivateReceiveLine(int L, int n) REQUIRES(engineLock) {
  const std::string& text = serialPortText[L];
  size_t blank = text.find(' ');
  std::string wanted =
      (blank == std::string::npos || blank == 0) ? std::string() : text.substr(blank + 1);
  const int m = wanted.empty() ? -1 : FindOpenPort(wanted);
  if (m < 0) return Activation::kFailed;
  routeTable[n].store(m);
  CopyField(tcpLines[L].port, tcpPortText[L]);
  txQueue[n].Allocate(kQueueCapacity);
  return StartDataServer(L);
}

// Port k's device is back: the port is open again and its bridged line comes
// up as if `open` had just succeeded for it.
void DeviceReturned(int k) REQUIRES(engineLock) {
  const int L = k + 1;
  AppendErrorLog(FormatMessage1(kMsgDeviceBack, FieldText(rsPorts[k].name)));
  routeTable[k].store(k);
  if (EnsureDataListener(L)) {
    tcpPortText[L] = std::string(FieldText(tcpLines[L].port));
    serialPortText[L] = std::string(FieldText(rsPorts[k].name));
    SetLineStatus(L, "OK");
  }
  MarkRefresh();
}

void DeviceLost(int k) REQUIRES(engineLock) {
  const PortSettings settings = FromRecord(rsPorts[k]);
  AppendErrorLog(FormatMessage1(kMsgDeviceGone, settings.name));
  RsClose(k);
  ClearPortRecord(k);
  rsPorts[k].deviceGone.store(false);
  awaitedSettings[k] = settings;
  nextAttempt[k] = std::chrono::steady_clock::now() + kDeviceRetryInterval;
  SetState(k, PortState::kAwaitingDevice);
  if (routeTable[k].load() == k) SetLineStatus(k + 1, "NG");
  MarkRefresh();
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

PortSettings ConfiguredSettings(int k) { return SettingsOf(comSettings[k]); }

int FindConfiguredPort(std::string_view name) {
  for (int k = 0; k < kPortCount; ++k) {
    if (FieldText(comSettings[k].name) == name) return k;
  }
  return -1;
}

int FindOpenPort(std::string_view name) {
  for (int k = 0; k < kPortCount; ++k) {
    if (portState[k] == PortState::kOpen && FieldText(rsPorts[k].name) == name) return k;
  }
  return -1;
}

PortState PortStateOf(int k) { return portState[k].load(); }

int StartTcpServer(int line, int* error) {
  int code = 0;
  if (error == nullptr) error = &code;
  *error = 0;
  if (serverStopping.load()) return -2;
  if (!TcpSocket(line, error)) return -2;
  if (!TcpListen(line, error)) return -2;
  return 0;
}

bool EnsureDataListener(int L) {
  if (TcpLineListening(L)) return true;
  int error = 0;
  // A line whose earlier listen failed still holds its socket; release it so
  // the listener can start afresh.
  if (tcpLines[L].state.load() > LineState::kNone) TcpDisconnect(L, &error);
  if (IsPortNumberText(tcpPortText[L])) CopyField(tcpLines[L].port, tcpPortText[L]);
  txQueue[L - 1].Allocate(kQueueCapacity);
  if (StartTcpServer(L) != 0) return false;
  DebugTrace("Data Server Socket Success");
  return true;
}

Activation ActivateLine(int line) {
  if (line == 0) return ActivateControlLine();
  if (line < 1 || line >= kLineCount) return Activation::kNothing;
  const int n = line - 1;
  if (tcpPortText[line] == kUnused || serialPortText[line] == kUnused) {
    return Activation::kLineUnused;
  }
  if (serialPortText[line] == FieldText(comSettings[n].name)) {
    return ActivateBridgedLine(line, n);
  }
  if (serialPortText[line].starts_with("receive")) return ActivateReceiveLine(line, n);
  return Activation::kNothing;
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
  if (line < 1 || line >= kLineCount) return;
  const int n = line - 1;
  // A bridged line's port goes with it, whatever its name; a port held or
  // awaited for this line is never left behind.
  const bool bridged = routeTable[n].load() == n || portState[n] != PortState::kClosed;
  if (tcpLines[line].state.load() > LineState::kNone) TcpDisconnect(line, &error);
  txQueue[n].Free();
  routeTable[n].store(-1);
  if (bridged) ReleasePort(n);
}

void ApplyLineTexts(int line, const std::string& tcpText, const std::string& serialText) {
  DeactivateLine(line);
  tcpPortText[line] = tcpText;
  if (line > 0) serialPortText[line] = serialText;
  ActivationResultText(ActivateLine(line), lineStatus[line]);
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

void ActivateAllLines() {
  for (auto& route : routeTable) route.store(-1);
  for (int line = 0; line < kLineCount; ++line) {
    ActivationResultText(ActivateLine(line), lineStatus[line]);
  }
}

OpenOutcome OpenPortLine(int k, const PortSettings& settings) {
  const int L = k + 1;
  if (portState[k] == PortState::kOpen) return OpenOutcome::kAlreadyOpen;
  if (portState[k] == PortState::kAwaitingDevice) ReleasePort(k);
  if (!OpenDevice(k, settings)) {
    // The line is given up; a port whose device is absent comes up with it
    // once the device is there. A line that copies another port is left to it.
    const int route = routeTable[k].load();
    if (route == k || route == -1) {
      int error = 0;
      if (route == k && tcpLines[L].state.load() > LineState::kNone)
        TcpDisconnect(L, &error);
      routeTable[k].store(portState[k] == PortState::kAwaitingDevice ? k : -1);
    }
    tcpPortText[L] = kUnused;
    serialPortText[L] = kUnused;
    SetLineStatus(L, kUnused);
    return OpenOutcome::kDeviceFailed;
  }
  MarkRefresh();
  CopyPortSettings(comSettings[k], rsPorts[k]);
  if (!EnsureDataListener(L)) return OpenOutcome::kListenFailed;
  routeTable[k].store(k);
  tcpPortText[L] = std::string(FieldText(tcpLines[L].port));
  serialPortText[L] = std::string(FieldText(rsPorts[k].name));
  SetLineStatus(L, "OK");
  return OpenOutcome::kOpened;
}

CopyOutcome AddCopyLine(int k, std::string_view portName, int* line) {
  int i = 0;
  while (i < kPortCount && routeTable[i].load() != -1) ++i;
  if (i == kPortCount) return CopyOutcome::kNoFreeLine;
  const int J = i + 1;
  *line = J;
  if (!EnsureDataListener(J)) return CopyOutcome::kListenFailed;
  tcpPortText[J] = std::string(FieldText(tcpLines[J].port));
  routeTable[i].store(k);
  serialPortText[J] = "receive " + std::string(portName);
  SetLineStatus(J, "OK");
  MarkRefresh();
  return CopyOutcome::kAdded;
}

CloseOutcome ClosePortByName(std::string_view name) {
  const int configured = FindConfiguredPort(name);
  if (configured < 0) return CloseOutcome::kUnknownPort;
  // The port the server holds (or awaits) under this name, whichever slot.
  int k = FindOpenPort(name);
  if (k < 0 && portState[configured] == PortState::kAwaitingDevice) k = configured;
  if (k < 0) return CloseOutcome::kNotOpen;
  ReleasePort(k);
  for (int M = 1; M < kLineCount; ++M) {
    if (routeTable[M - 1].load() == k) EndLine(M);
  }
  MarkRefresh();
  return CloseOutcome::kClosed;
}

CloseOutcome CloseLineByTcpPort(std::string_view text) {
  if (text == tcpPortText[0]) return CloseOutcome::kControlLine;
  int L = 1;
  while (L < kLineCount && tcpPortText[L] != text) ++L;
  if (L == kLineCount) return CloseOutcome::kUnknownPort;
  const int n = L - 1;
  const bool bridged = routeTable[n].load() == n || portState[n] != PortState::kClosed;
  EndLine(L);
  if (bridged) ReleasePort(n);
  MarkRefresh();
  return CloseOutcome::kClosed;
}

bool ChangePortSettings(int k, const PortSettings& settings) {
  if (k < 0 || k >= kPortCount || portState[k] != PortState::kOpen) return false;
  const PortSettings previous = FromRecord(rsPorts[k]);
  PortSettings next = settings;
  next.name = previous.name;
  FillRecord(rsPorts[k], next);
  if (RsSetupConnection(k) == 0) {
    FillRecord(rsPorts[k], previous);
    (void)RsSetupConnection(k);
    return false;
  }
  CopyPortSettings(comSettings[k], rsPorts[k]);
  CopyField(comSettings[k].stopBits, FieldText(rsPorts[k].stopBits));
  MarkRefresh();
  return true;
}

PortSettings OpenPortSettings(int k) {
  if (k < 0 || k >= kPortCount || portState[k] != PortState::kOpen) return PortSettings{};
  return FromRecord(rsPorts[k]);
}

void ApplyPortSetup(int k, const PortSettings& settings) {
  ComSetting& setting = comSettings[k];
  CopyField(setting.baud, settings.baud);
  CopyField(setting.parity, settings.parity);
  CopyField(setting.dataBits, settings.dataBits);
  CopyField(setting.stopBits, settings.stopBits);
  CopyField(setting.flow, settings.flow);
  CopyField(setting.definition, DefinitionText(settings.baud, settings.parity,
                                               settings.dataBits, settings.stopBits));
}

void RetryAbsentDevices(std::chrono::steady_clock::time_point now) {
  bool gone = false;
  for (int k = 0; k < kPortCount; ++k) gone = gone || rsPorts[k].deviceGone.load();
  if (!gone && awaiting.load() == 0) return;
  MutexLock lock(engineLock);
  if (serverStopping.load()) return;
  for (int k = 0; k < kPortCount; ++k) {
    if (portState[k] == PortState::kOpen && rsPorts[k].deviceGone.load()) DeviceLost(k);
  }
  for (int k = 0; k < kPortCount; ++k) {
    if (portState[k] != PortState::kAwaitingDevice || now < nextAttempt[k]) continue;
    const PortSettings settings = awaitedSettings[k];
    FillRecord(rsPorts[k], settings);
    if (RsOpen(k)) {
      SetState(k, PortState::kOpen);
      DeviceReturned(k);
    } else {
      ClearPortRecord(k);
      nextAttempt[k] = now + kDeviceRetryInterval;
    }
  }
}

void MarkServerStopping() { serverStopping.store(true); }
bool ServerStopping() { return serverStopping.load(); }
void ClearServerStopping() { serverStopping.store(false); }

void CloseAllPorts() {
  for (int k = 0; k < kPortCount; ++k) {
    if (rsPorts[k].handle.load() >= 0 || rsPorts[k].readThread.joinable()) RsClose(k);
    ClearPortRecord(k);
    rsPorts[k].deviceGone.store(false);
    SetState(k, PortState::kClosed);
  }
}

}  // namespace qmx
