// TelnetComPortSession: the server side of one Telnet connection that carries
// a serial port's data together with remote port control (COM-PORT-OPTION).
//
// What it does: takes the bytes a client sends, answers the Telnet option
// negotiation, carries out the com port commands through a ComPortControl,
// and hands on the pure data for the device with every Telnet command
// removed; takes the bytes from the device and escapes them for the client;
// turns line and modem state changes into notifications.
//
// Negotiation: the server offers BINARY both ways and SUPPRESS-GO-AHEAD both
// ways and asks the client for COM-PORT-OPTION (DO). A client may offer or
// ask for these in any order, including COM-PORT-OPTION the other way round
// (DO from the client is agreed with WILL); every other option is refused.
// Each side of each option keeps its state, so a request for what is already
// in force, or a refusal of what is already off, is never answered: two
// peers cannot ping-pong requests.
//
// Byte streams: every sequence may be split anywhere across calls. A
// subnegotiation keeps at most kMaxSubnegotiation bytes; what goes beyond is
// dropped, and a subnegotiation that is never ended only swallows bytes, it
// never grows. An IAC followed by a command other than IAC or SE inside a
// subnegotiation abandons it and the command is taken as such. While the
// client has not agreed to send binary, its CR NUL reaches the device as CR;
// while it has not agreed to receive binary, a CR from the device is sent as
// CR NUL.
//
// Pure: no sockets, devices, threads or clocks. One session per client
// connection, used by one thread at a time (the relay thread); nothing is
// shared between sessions, so no lock is involved. Nothing throws (beyond
// the allocation failure of the vectors the caller passes in).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qmx::telnet {

// What the session asks of the serial port behind the line. Every setter
// applies the request, or refuses it, and returns the value in force
// afterwards. The session only passes values that the protocol defines:
// 0 always means "only tell me the value in force".
class ComPortControl {
 public:
  virtual ~ComPortControl() = default;
  // Any rate the driver takes.
  virtual uint32_t SetBaudRate(uint32_t requested) = 0;
  // 0, or 5 to 8 data bits.
  virtual uint8_t SetDataSize(uint8_t requested) = 0;
  // 0, or kParityNone .. kParitySpace.
  virtual uint8_t SetParity(uint8_t requested) = 0;
  // 0, or kStopOne, kStopTwo, kStopOneAndHalf.
  virtual uint8_t SetStopSize(uint8_t requested) = 0;
  // kControlAskFlow .. kControlLast. A request-state value (0, 4, 7, 10, 13)
  // changes nothing and returns the matching value in force: a flow value for
  // 0 and 13, BREAK on/off for 4, DTR on/off for 7, RTS on/off for 10.
  virtual uint8_t SetControl(uint8_t requested) = 0;
  // kPurgeReceive, kPurgeTransmit or kPurgeBoth.
  virtual void Purge(uint8_t which) = 0;
  // The client asks the server to stop (true) or resume (false) sending it
  // data until further notice.
  virtual void SuspendOutput(bool suspended) = 0;
};

class TelnetComPortSession {
 public:
  // Longest subnegotiation body kept (option byte excluded).
  static constexpr size_t kMaxSubnegotiation = 256;

  // The text the server answers SIGNATURE with, naming QMX and its version.
  static std::string DefaultSignature();

  explicit TelnetComPortSession(std::string signature = DefaultSignature());

  // The opening negotiation, sent once when a client connects.
  void Start(std::vector<uint8_t>& toClient);

  // Bytes from the client: appends the data for the device to `toDevice` and
  // the negotiation answers and com port replies to `toClient`.
  void FromClient(std::span<const uint8_t> bytes, ComPortControl& port,
                  std::vector<uint8_t>& toDevice, std::vector<uint8_t>& toClient);

  // Bytes from the device, escaped for the client, appended to `toClient`.
  void ToClient(std::span<const uint8_t> bytes, std::vector<uint8_t>& toClient);

  // The device's line state (kLine* bits) now. When it differs from the last
  // one reported and has a bit in the client's line state mask, the masked
  // state is sent as NOTIFY-LINESTATE. A state of 0 reports that the
  // conditions have passed (nothing is sent for it).
  void LineState(uint8_t state, std::vector<uint8_t>& toClient);

  // The device's modem lines (kModemCd, kModemRi, kModemDsr, kModemCts) now;
  // change bits in the low half are taken as extra changes the caller saw.
  // The session adds the change bits against the last lines reported and
  // sends the state under the client's modem state mask when a line changed.
  void ModemState(uint8_t state, std::vector<uint8_t>& toClient);

  // COM-PORT-OPTION is in force in either direction. Com port commands are
  // taken, and notifications sent, only then.
  bool ComPortEnabled() const;
  // The client asked the server to hold data for it (FLOWCONTROL-SUSPEND).
  bool OutputSuspended() const { return outputSuspended_; }
  bool ClientSendsBinary() const { return him_[kBinaryIndex] == Q::kYes; }
  bool ClientReceivesBinary() const { return us_[kBinaryIndex] == Q::kYes; }
  uint8_t LineStateMask() const { return lineStateMask_; }
  uint8_t ModemStateMask() const { return modemStateMask_; }
  // The signature text the client sent about itself, if any.
  const std::string& ClientSignature() const { return clientSignature_; }
  // Bytes of an unfinished subnegotiation held right now.
  size_t PendingBytes() const { return sbLength_; }

 private:
  // Per side of one option: off, on, or asked for by us and not yet answered.
  enum class Q : uint8_t { kNo, kYes, kWantYes };
  enum class State : uint8_t { kData, kIac, kVerb, kSbOption, kSb, kSbIac };
  static constexpr size_t kBinaryIndex = 0;

  void Command(uint8_t command, std::vector<uint8_t>& toClient);
  void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& toClient);
  void EndSubnegotiation(ComPortControl& port, std::vector<uint8_t>& toClient);
  void ComPortCommand(std::span<const uint8_t> body, ComPortControl& port,
                      std::vector<uint8_t>& toClient);
  void Ask(uint8_t verb, uint8_t option, std::vector<uint8_t>& toClient);
  void SendModemState(uint8_t value, std::vector<uint8_t>& toClient);

  std::string signature_;
  std::string clientSignature_;
  std::array<Q, 256> us_{};   // options the server performs
  std::array<Q, 256> him_{};  // options the client performs
  State state_ = State::kData;
  uint8_t verb_ = 0;
  uint8_t sbOption_ = 0;
  size_t sbLength_ = 0;
  std::array<uint8_t, kMaxSubnegotiation> sbBody_{};
  bool crFromClient_ = false;  // last data byte from the client was CR
  bool outputSuspended_ = false;
  uint8_t lineState_ = 0;
  uint8_t modemLines_ = 0;
  uint8_t lineStateMask_ = 0;
  uint8_t modemStateMask_ = 0xFF;
};

}  // namespace qmx::telnet
