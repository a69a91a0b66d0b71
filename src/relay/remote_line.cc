#include "relay/remote_line.h"

#include <mutex>
#include <string>

#include "engine/line_table.h"
#include "engine/port_lifecycle.h"
#include "net/socket_layer.h"
#include "serial/rs_port.h"
#include "telnet/com_port_settings.h"
#include "telnet/telnet_codes.h"

namespace qmx {

namespace tn = telnet;

namespace {

// How often the line and modem state of a remote line's port is looked at.
constexpr std::chrono::milliseconds kStatePollInterval(100);

// The most data kept for a client that asked the server to stop sending.
constexpr size_t kHoldLimit = DataLineOutput::kBacklogLimit;

// Line state bits from the driver's error word (the conditions of the last
// read from the device).
uint8_t LineStateOf(uint32_t errors) {
  uint8_t state = 0;
  if ((errors & (CE_OVERRUN | CE_RXOVER)) != 0) state |= tn::kLineOverrun;
  if ((errors & CE_RXPARITY) != 0) state |= tn::kLineParityError;
  if ((errors & CE_FRAME) != 0) state |= tn::kLineFramingError;
  if ((errors & CE_BREAK) != 0) state |= tn::kLineBreak;
  return state;
}

uint8_t ModemStateOf(const ModemLines& lines) {
  uint8_t state = 0;
  if (lines.cd) state |= tn::kModemCd;
  if (lines.ri) state |= tn::kModemRi;
  if (lines.dsr) state |= tn::kModemDsr;
  if (lines.cts) state |= tn::kModemCts;
  return state;
}

}  // namespace

// The port behind one remote line, as the session sees it. Every call takes
// engineLock for its own short run: the port may be closed or changed by a
// control command or the window between two calls.
class LinePortControl : public tn::ComPortControl {
 public:
  LinePortControl(LineTable& table, int line, RemoteLine& remote,
                  SerialPortOutput& serial)
      : table_(table), line_(line), remote_(remote), serial_(serial) {}

  uint32_t SetBaudRate(uint32_t requested) override {
    MutexLock lock(table_.engineLock);
    if (requested != 0) Change([&](tn::ComPortSettings& s) { s.baudRate = requested; });
    return InForce().baudRate;
  }

  uint8_t SetDataSize(uint8_t requested) override {
    MutexLock lock(table_.engineLock);
    if (requested != 0) Change([&](tn::ComPortSettings& s) { s.dataSize = requested; });
    return InForce().dataSize;
  }

  uint8_t SetParity(uint8_t requested) override {
    MutexLock lock(table_.engineLock);
    if (requested != 0) Change([&](tn::ComPortSettings& s) { s.parity = requested; });
    return InForce().parity;
  }

  uint8_t SetStopSize(uint8_t requested) override {
    MutexLock lock(table_.engineLock);
    if (requested != 0) Change([&](tn::ComPortSettings& s) { s.stopSize = requested; });
    return InForce().stopSize;
  }

  uint8_t SetControl(uint8_t requested) override {
    MutexLock lock(table_.engineLock);
    const int k = Port();
    switch (requested) {
      case tn::kControlAskBreak:
      case tn::kControlBreakOn:
      case tn::kControlBreakOff:
        if (requested != tn::kControlAskBreak && Changeable()) {
          (void)table_.serial.RsSetBreak(k, requested == tn::kControlBreakOn);
        }
        return k >= 0 && table_.serial.rsPorts[k].breakOn.load() ? tn::kControlBreakOn
                                                                 : tn::kControlBreakOff;
      case tn::kControlAskDtr:
      case tn::kControlDtrOn:
      case tn::kControlDtrOff:
        if (requested != tn::kControlAskDtr && Changeable()) {
          (void)table_.serial.RsSetDtr(k, requested == tn::kControlDtrOn);
        }
        return k >= 0 && table_.serial.rsPorts[k].dtrOn.load() ? tn::kControlDtrOn
                                                               : tn::kControlDtrOff;
      case tn::kControlAskRts:
      case tn::kControlRtsOn:
      case tn::kControlRtsOff:
        if (requested != tn::kControlAskRts && Changeable()) {
          (void)table_.serial.RsSetRts(k, requested == tn::kControlRtsOn);
        }
        return k >= 0 && table_.serial.rsPorts[k].rtsOn.load() ? tn::kControlRtsOn
                                                               : tn::kControlRtsOff;
      default:
        break;
    }
    // Flow control: the port has one setting for both directions; DCD, DTR
    // and DSR flow are not offered and get the flow in force.
    const char letter = tn::FlowLetter(requested);
    if (letter != '\0' && Changeable()) {
      PortSettings settings = OpenPortSettings(table_, k);
      settings.flow = std::string(1, letter);
      (void)ChangePortSettings(table_, k, settings);
    }
    const bool inbound = requested >= tn::kControlAskInboundFlow &&
                         requested != tn::kControlFlowDcd &&
                         requested != tn::kControlFlowDsr;
    return tn::FlowControlCode(Settings().flow, inbound);
  }

  void Purge(uint8_t which) override {
    const bool receive = which == tn::kPurgeReceive || which == tn::kPurgeBoth;
    const bool transmit = which == tn::kPurgeTransmit || which == tn::kPurgeBoth;
    if (receive) remote_.held_.clear();
    MutexLock lock(table_.engineLock);
    if (!Changeable()) return;
    const int k = Port();
    if (receive) {
      // What the port received and the relay has not yet sent on: at most
      // one queue's worth is there to take.
      uint8_t scratch[1024];
      for (int32_t left = kQueueCapacity; left > 0;) {
        const size_t got = table_.rxQueue[k].GetSome(std::span(scratch, sizeof scratch));
        if (got == 0) break;
        left -= static_cast<int32_t>(got);
      }
    }
    if (transmit) {
      // Data of this very chunk that came before the command, and what the
      // relay has not yet handed to the device.
      remote_.toDevice_.clear();
      serial_.Discard();
    }
    table_.serial.RsPurge(k, receive, transmit);
  }

  void SuspendOutput(bool) override {
    // The session keeps the state; the relay holds or sends accordingly.
  }

 private:
  // The port the line serves, or -1.
  int Port() const { return table_.routeTable[line_ - 1].load(); }

  // Only a line bridged to its own open port changes anything.
  bool Changeable() const REQUIRES(table_.engineLock) {
    const int k = Port();
    return k == line_ - 1 && PortStateOf(table_, k) == PortState::kOpen &&
           !ServerStopping(table_);
  }

  // The settings in force: the open port's, else the configured ones.
  PortSettings Settings() const REQUIRES(table_.engineLock) {
    const int k = Port();
    if (k < 0) return ConfiguredSettings(table_, line_ - 1);
    PortSettings settings = OpenPortSettings(table_, k);
    return settings.name.empty() ? ConfiguredSettings(table_, k) : settings;
  }

  tn::ComPortSettings InForce() const REQUIRES(table_.engineLock) {
    return tn::SettingsFromDefinition(Settings().definition)
        .value_or(tn::ComPortSettings{});
  }

  // Applies one changed field, through the same path as `open`; a device
  // that refuses keeps what it had.
  template <class Edit>
  void Change(Edit edit) REQUIRES(table_.engineLock) {
    if (!Changeable()) return;
    const int k = Port();
    PortSettings settings = OpenPortSettings(table_, k);
    std::optional<tn::ComPortSettings> codes =
        tn::SettingsFromDefinition(settings.definition);
    if (!codes) return;
    edit(*codes);
    std::optional<std::string> definition = tn::DefinitionFromSettings(*codes);
    if (!definition) return;
    settings.definition = *definition;
    settings.baud = std::to_string(codes->baudRate);
    settings.parity = std::string(1, tn::ParityLetter(codes->parity));
    settings.dataBits = std::to_string(codes->dataSize);
    settings.stopBits = std::string(tn::StopText(codes->stopSize));
    (void)ChangePortSettings(table_, k, settings);
  }

  LineTable& table_;
  int line_;
  RemoteLine& remote_;
  SerialPortOutput& serial_;
};

void RemoteLine::Drop() {
  session_.reset();
  held_.clear();
}

void RemoteLine::Follow(int line, DataLineOutput& output, Clock::time_point now) {
  const uint64_t client = table_->net.TcpClientSerial(line);
  if (!followed_ || client != client_) {
    // A server lifetime that starts finds the serial of an earlier one's last
    // client: a session is made only for a client that is there.
    const bool newClient = followed_;
    followed_ = true;
    client_ = client;
    Drop();
    if (newClient || table_->net.TcpClientFd(line) >= 0) {
      session_ = std::make_unique<tn::TelnetComPortSession>();
      toClient_.clear();
      session_->Start(toClient_);
      output.Send(line, toClient_, now);
      nextStatePoll_ = now;
    }
  }
  if (!session_) return;
  if (table_->net.TcpClientFd(line) < 0) {
    Drop();  // the client has gone
    return;
  }
  SendOrHold(line, output, now);
  if (now < nextStatePoll_) return;
  nextStatePoll_ = now + kStatePollInterval;
  const int k = table_->routeTable[line - 1].load();
  if (k < 0) return;
  ModemLines lines;
  {
    MutexLock lock(table_->engineLock);
    (void)table_->serial.RsModemLines(k, &lines);
  }
  toClient_.clear();
  session_->LineState(LineStateOf(table_->serial.rsError[k].load()), toClient_);
  session_->ModemState(ModemStateOf(lines), toClient_);
  if (!toClient_.empty()) output.Send(line, toClient_, now);
}

bool RemoteLine::Held() const {
  return session_ != nullptr && session_->OutputSuspended() && held_.size() >= kHoldLimit;
}

std::span<const uint8_t> RemoteLine::FromClient(int line, std::span<const uint8_t> bytes,
                                                DataLineOutput& output,
                                                SerialPortOutput& serial,
                                                Clock::time_point now) {
  toDevice_.clear();
  toClient_.clear();
  if (!session_) return {};  // no client to speak for: its bytes are not data
  LinePortControl control(*table_, line, *this, serial);
  session_->FromClient(bytes, control, toDevice_, toClient_);
  if (!toClient_.empty()) output.Send(line, toClient_, now);
  SendOrHold(line, output, now);  // a RESUME lets the held data go
  return toDevice_;
}

void RemoteLine::ToClient(int line, std::span<const uint8_t> bytes,
                          DataLineOutput& output, Clock::time_point now) {
  if (!session_) return;  // no client: the bytes are lost, as on a raw line
  if (held_.empty()) heldSince_ = now;
  session_->ToClient(bytes, held_);
  SendOrHold(line, output, now);
}

void RemoteLine::SendOrHold(int line, DataLineOutput& output, Clock::time_point now) {
  if (held_.empty() || session_->OutputSuspended()) return;
  output.Send(line, held_, now);
  held_.clear();
}

}  // namespace qmx
