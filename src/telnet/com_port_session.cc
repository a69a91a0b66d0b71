#include "telnet/com_port_session.h"

#include <utility>

#include "telnet/telnet_codes.h"

#ifndef QMX_VERSION_TEXT
#define QMX_VERSION_TEXT "unknown"
#endif

namespace qmx::telnet {
namespace {

constexpr uint8_t kCr = '\r';
constexpr uint8_t kNul = 0;

// The options the server takes part in, the same set for both directions.
bool Supported(uint8_t option) {
  return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

void AppendEscaped(std::vector<uint8_t>& out, uint8_t byte) {
  out.push_back(byte);
  if (byte == kIac) out.push_back(kIac);
}

// IAC SB COM-PORT-OPTION <code> <value, IAC doubled> IAC SE
void Reply(std::vector<uint8_t>& out, uint8_t code, std::span<const uint8_t> value) {
  out.insert(out.end(), {kIac, kSb, kOptComPort, code});
  for (uint8_t b : value) AppendEscaped(out, b);
  out.insert(out.end(), {kIac, kSe});
}

void Reply(std::vector<uint8_t>& out, uint8_t code, uint8_t value) {
  const uint8_t one[1] = {value};
  Reply(out, code, one);
}

}  // namespace

std::string TelnetComPortSession::DefaultSignature() {
  return std::string("QMX ") + QMX_VERSION_TEXT + " serial port server";
}

TelnetComPortSession::TelnetComPortSession(std::string signature)
    : signature_(std::move(signature)) {}

bool TelnetComPortSession::ComPortEnabled() const {
  return us_[kOptComPort] == Q::kYes || him_[kOptComPort] == Q::kYes;
}

void TelnetComPortSession::Ask(uint8_t verb, uint8_t option,
                               std::vector<uint8_t>& toClient) {
  Q& side = (verb == kWill) ? us_[option] : him_[option];
  if (side != Q::kNo) return;
  side = Q::kWantYes;
  toClient.insert(toClient.end(), {kIac, verb, option});
}

void TelnetComPortSession::Start(std::vector<uint8_t>& toClient) {
  Ask(kWill, kOptBinary, toClient);
  Ask(kDo, kOptBinary, toClient);
  Ask(kWill, kOptSuppressGoAhead, toClient);
  Ask(kDo, kOptSuppressGoAhead, toClient);
  Ask(kDo, kOptComPort, toClient);
}

void TelnetComPortSession::FromClient(std::span<const uint8_t> bytes,
                                      ComPortControl& port,
                                      std::vector<uint8_t>& toDevice,
                                      std::vector<uint8_t>& toClient) {
  for (uint8_t b : bytes) {
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kIac;
        } else if (b == kNul && crFromClient_ && !ClientSendsBinary()) {
          crFromClient_ = false;  // the NUL that pads a bare CR
        } else {
          crFromClient_ = (b == kCr);
          toDevice.push_back(b);
        }
        break;
      case State::kIac:
        if (b == kIac) {
          crFromClient_ = false;
          toDevice.push_back(kIac);
          state_ = State::kData;
        } else {
          Command(b, toClient);
        }
        break;
      case State::kVerb:
        state_ = State::kData;
        Negotiate(verb_, b, toClient);
        break;
      case State::kSbOption:
        sbOption_ = b;
        sbLength_ = 0;
        state_ = State::kSb;
        break;
      case State::kSb:
        if (b == kIac) {
          state_ = State::kSbIac;
        } else if (sbLength_ < sbBody_.size()) {
          sbBody_[sbLength_++] = b;
        }
        break;
      case State::kSbIac:
        if (b == kIac) {
          if (sbLength_ < sbBody_.size()) sbBody_[sbLength_++] = kIac;
          state_ = State::kSb;
        } else if (b == kSe) {
          state_ = State::kData;
          EndSubnegotiation(port, toClient);
        } else {
          // An unterminated subnegotiation: drop it, obey the command.
          sbLength_ = 0;
          Command(b, toClient);
        }
        break;
    }
  }
}

// `command` followed an IAC outside a subnegotiation (IAC IAC excluded).
void TelnetComPortSession::Command(uint8_t command, std::vector<uint8_t>& toClient) {
  state_ = State::kData;
  switch (command) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = command;
      state_ = State::kVerb;
      break;
    case kSb:
      state_ = State::kSbOption;
      break;
    case kAyt: {
      static constexpr std::string_view kHere = "\r\n[QMX: yes]\r\n";
      toClient.insert(toClient.end(), kHere.begin(), kHere.end());
      break;
    }
    default:
      // NOP, data mark, break, interrupt, go ahead, a stray SE...: nothing
      // of these reaches the device.
      break;
  }
}

void TelnetComPortSession::Negotiate(uint8_t verb, uint8_t option,
                                     std::vector<uint8_t>& toClient) {
  const bool aboutUs = (verb == kDo || verb == kDont);
  const bool enable = (verb == kWill || verb == kDo);
  Q& side = aboutUs ? us_[option] : him_[option];
  const uint8_t yes = aboutUs ? kWill : kDo;
  const uint8_t no = aboutUs ? kWont : kDont;
  const bool comPortBefore = ComPortEnabled();

  if (enable) {
    if (side == Q::kNo) {
      if (Supported(option)) {
        side = Q::kYes;
        toClient.insert(toClient.end(), {kIac, yes, option});
      } else {
        toClient.insert(toClient.end(), {kIac, no, option});
      }
    } else if (side == Q::kWantYes) {
      side = Q::kYes;  // the answer to our own request
    }
  } else {
    if (side == Q::kYes) {
      side = Q::kNo;
      toClient.insert(toClient.end(), {kIac, no, option});
    } else if (side == Q::kWantYes) {
      side = Q::kNo;  // our request refused; nothing to answer
    }
  }

  // A client that turns the option on learns the modem lines at once, so
  // that it can read them before any of them changes.
  if (!comPortBefore && ComPortEnabled()) {
    SendModemState(static_cast<uint8_t>(modemLines_ & modemStateMask_), toClient);
  }
}

void TelnetComPortSession::EndSubnegotiation(ComPortControl& port,
                                             std::vector<uint8_t>& toClient) {
  const size_t length = sbLength_;
  sbLength_ = 0;
  if (sbOption_ != kOptComPort || !ComPortEnabled()) return;
  ComPortCommand(std::span<const uint8_t>(sbBody_.data(), length), port, toClient);
}

void TelnetComPortSession::ComPortCommand(std::span<const uint8_t> body,
                                          ComPortControl& port,
                                          std::vector<uint8_t>& toClient) {
  if (body.empty()) return;
  const uint8_t code = body[0];
  const std::span<const uint8_t> value = body.subspan(1);
  const uint8_t answer = static_cast<uint8_t>(code + kServerOffset);
  // A one-byte value within [low, high], else 0: a malformed request is
  // answered as a question about the value in force.
  auto single = [&](uint8_t low, uint8_t high) -> uint8_t {
    if (value.size() != 1 || value[0] < low || value[0] > high) return 0;
    return value[0];
  };

  switch (code) {
    case kSignature: {
      if (!value.empty()) clientSignature_.assign(value.begin(), value.end());
      const auto* text = reinterpret_cast<const uint8_t*>(signature_.data());
      Reply(toClient, answer, std::span<const uint8_t>(text, signature_.size()));
      break;
    }
    case kSetBaudRate: {
      uint32_t requested = 0;
      if (value.size() == 4) {
        requested = (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) |
                    (uint32_t{value[2]} << 8) | uint32_t{value[3]};
      }
      const uint32_t rate = port.SetBaudRate(requested);
      const uint8_t be[4] = {static_cast<uint8_t>(rate >> 24),
                             static_cast<uint8_t>(rate >> 16),
                             static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)};
      Reply(toClient, answer, be);
      break;
    }
    case kSetDataSize:
      Reply(toClient, answer, port.SetDataSize(single(5, 8)));
      break;
    case kSetParity:
      Reply(toClient, answer, port.SetParity(single(kParityNone, kParitySpace)));
      break;
    case kSetStopSize:
      Reply(toClient, answer, port.SetStopSize(single(kStopOne, kStopOneAndHalf)));
      break;
    case kSetControl:
      Reply(toClient, answer, port.SetControl(single(kControlAskFlow, kControlLast)));
      break;
    case kNotifyLineState:
      // A client's poll: the state as it stands, whatever the mask.
      Reply(toClient, answer, lineState_);
      break;
    case kNotifyModemState:
      Reply(toClient, answer, modemLines_);
      break;
    case kFlowControlSuspend:
    case kFlowControlResume:
      // Not answered: an answer with this code would ask the client, in
      // turn, to stop or resume sending.
      outputSuspended_ = (code == kFlowControlSuspend);
      port.SuspendOutput(outputSuspended_);
      break;
    case kSetLineStateMask:
      if (value.size() == 1) lineStateMask_ = value[0];
      Reply(toClient, answer, lineStateMask_);
      break;
    case kSetModemStateMask:
      if (value.size() == 1) modemStateMask_ = value[0];
      Reply(toClient, answer, modemStateMask_);
      break;
    case kPurgeData: {
      const uint8_t which = single(kPurgeReceive, kPurgeBoth);
      if (which != 0) port.Purge(which);
      Reply(toClient, answer, which);
      break;
    }
    default:
      break;  // a code of the server's own direction, or unknown
  }
}

void TelnetComPortSession::ToClient(std::span<const uint8_t> bytes,
                                    std::vector<uint8_t>& toClient) {
  const bool binary = ClientReceivesBinary();
  for (uint8_t b : bytes) {
    AppendEscaped(toClient, b);
    if (b == kCr && !binary) toClient.push_back(kNul);
  }
}

void TelnetComPortSession::LineState(uint8_t state, std::vector<uint8_t>& toClient) {
  if (state == lineState_) return;
  lineState_ = state;
  const auto masked = static_cast<uint8_t>(state & lineStateMask_);
  if (masked != 0 && ComPortEnabled()) {
    Reply(toClient, kNotifyLineState + kServerOffset, masked);
  }
}

void TelnetComPortSession::ModemState(uint8_t state, std::vector<uint8_t>& toClient) {
  const auto lines = static_cast<uint8_t>(state & kModemLines);
  const auto changed = static_cast<uint8_t>(lines ^ modemLines_);
  auto deltas = static_cast<uint8_t>(state & ~kModemLines);
  if ((changed & kModemCd) != 0) deltas |= kModemDeltaCd;
  if ((modemLines_ & kModemRi) != 0 && (lines & kModemRi) == 0) {
    deltas |= kModemRiTrailingEdge;
  }
  if ((changed & kModemDsr) != 0) deltas |= kModemDeltaDsr;
  if ((changed & kModemCts) != 0) deltas |= kModemDeltaCts;
  modemLines_ = lines;
  if (changed == 0 && deltas == 0) return;
  const auto masked = static_cast<uint8_t>((lines | deltas) & modemStateMask_);
  if (masked != 0 && ComPortEnabled()) SendModemState(masked, toClient);
}

void TelnetComPortSession::SendModemState(uint8_t value, std::vector<uint8_t>& toClient) {
  Reply(toClient, kNotifyModemState + kServerOffset, value);
}

}  // namespace qmx::telnet
