// RemoteLine: a data line that speaks Telnet with remote port control
// (Rfc2217Line(L) is set), as the relay thread drives it.
//
// One TelnetComPortSession per client: a new one, with its opening
// negotiation, whenever the line accepts a new client (TcpClientSerial
// changes); none once the client has gone. What the client sends passes
// through the session: its data goes on to the serial port as a raw line's
// would, its negotiation answers and com port replies go back out through
// the line's DataLineOutput, after whatever the line has queued before.
// Data from the port is escaped for the client, or held while the client
// has asked the server to stop sending (FLOWCONTROL-SUSPEND); a full hold
// makes the line count as backlogged, so the port's input waits as it does
// for a slow client.
//
// Com port commands act on the line's port through the engine: line settings
// via ChangePortSettings, DTR, RTS, BREAK and purges via the serial driver,
// each under engineLock (taken here, never held across a send). A line that
// copies another port (`receive`) changes nothing: every setting is answered
// with the value in force.
//
// Owned and used by the relay thread only; raw lines never reach this code.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/line_table.h"
#include "relay/line_output.h"
#include "telnet/com_port_session.h"

namespace qmx {

class RemoteLine {
 public:
  using Clock = std::chrono::steady_clock;

  // The server whose line this is; set once before the first pass.
  void Attach(LineTable* table) { table_ = table; }

  // Start of a pass: follows the line's client (a new session and its opening
  // negotiation for a new client; none for a client that has gone), sends
  // held data once the client resumed, and reports line and modem state
  // changes of the line's port.
  void Follow(int line, DataLineOutput& output, Clock::time_point now);

  // A session serves a client.
  bool Active() const { return session_ != nullptr; }

  // True while the port's input for this line must wait: the client asked to
  // stop and the hold is full.
  bool Held() const;
  // The port's bytes held while the client asked to stop, and since when the
  // hold has not been empty.
  size_t HeldBytes() const { return held_.size(); }
  Clock::time_point HeldSince() const { return heldSince_; }
  // Forgets the held bytes (their client is being dropped).
  void DropHeld() { held_.clear(); }

  // Bytes the client sent (taken from the line's send queue): answers go to
  // `output`; returns the data for the device, valid until the next call.
  // `serial` is the output of the line's own port (index line-1), whose
  // pending bytes a transmit purge discards.
  std::span<const uint8_t> FromClient(int line, std::span<const uint8_t> bytes,
                                      DataLineOutput& output, SerialPortOutput& serial,
                                      Clock::time_point now);

  // Bytes from the port for this line's client.
  void ToClient(int line, std::span<const uint8_t> bytes, DataLineOutput& output,
                Clock::time_point now);

 private:
  friend class LinePortControl;

  void SendOrHold(int line, DataLineOutput& output, Clock::time_point now);
  void Drop();

  LineTable* table_ = nullptr;
  std::unique_ptr<telnet::TelnetComPortSession> session_;
  uint64_t client_ = 0;
  bool followed_ = false;  // client_ has been read once
  std::vector<uint8_t> toDevice_;
  std::vector<uint8_t> toClient_;
  std::vector<uint8_t> held_;  // escaped data kept while the client is suspended
  Clock::time_point heldSince_{};
  Clock::time_point nextStatePoll_{};
};

}  // namespace qmx
