// Fuzz target: the Telnet session of a remote-control data line.
//
// Every input is used twice.
//
// As raw client bytes, fed once whole and once in pieces cut where the input
// says: both feeds must give the same device data, the same answers and the
// same port calls (no sequence may depend on where a read ended); held memory
// stays within the subnegotiation bound; device data needs at least one input
// byte per byte and two per 0xFF (only IAC IAC yields one); the port is only
// ever asked for values the protocol defines; the answers are well-formed
// Telnet, never more negotiation than the client sent, and grow at most by a
// fixed factor over the input.
//
// As a recipe for a client session: data bytes (escaped), negotiations,
// subnegotiations of any option and other commands interleaved; the device
// must receive exactly the data bytes, however the stream is cut, and the
// device's bytes sent back must decode to themselves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "telnet/com_port_session.h"
#include "telnet/telnet_codes.h"

namespace qmx::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Show(const Bytes& b) {
  return fuzz::Visible(
      std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

// Checks the range of every value the session hands to the port, and keeps
// a log of the calls for comparison.
class CheckingPort : public ComPortControl {
 public:
  uint32_t SetBaudRate(uint32_t r) override {
    Note('b', r);
    if (r != 0) baud_ = r;
    return baud_;
  }
  uint8_t SetDataSize(uint8_t r) override {
    fuzz::Require(r == 0 || (r >= 5 && r <= 8), "data size out of range");
    return Answer('d', r, 8);
  }
  uint8_t SetParity(uint8_t r) override {
    fuzz::Require(r <= kParitySpace, "parity out of range");
    return Answer('p', r, kParityNone);
  }
  uint8_t SetStopSize(uint8_t r) override {
    fuzz::Require(r <= kStopOneAndHalf, "stop size out of range");
    return Answer('s', r, kStopOne);
  }
  uint8_t SetControl(uint8_t r) override {
    fuzz::Require(r <= kControlLast, "control value out of range");
    return Answer('c', r, kControlFlowNone);
  }
  void Purge(uint8_t which) override {
    fuzz::Require(which >= kPurgeReceive && which <= kPurgeBoth,
                  "purge value out of range");
    Note('g', which);
  }
  void SuspendOutput(bool s) override { Note('z', s ? 1 : 0); }
  const std::string& log() const { return log_; }

 private:
  void Note(char what, uint32_t v) {
    log_ += what;
    log_ += std::to_string(v);
  }
  // The request, or `inForce` for a question.
  uint8_t Answer(char what, uint8_t r, uint8_t inForce) {
    Note(what, r);
    return r == 0 ? inForce : r;
  }
  uint32_t baud_ = 9600;
  std::string log_;
};

struct Result {
  Bytes device;
  Bytes client;
  std::string calls;
};

// Feeds `wire` after the opening, in pieces whose lengths come from `cuts`
// (an empty `cuts` feeds it whole).
Result Feed(std::span<const uint8_t> wire, std::span<const uint8_t> cuts,
            TelnetComPortSession& session) {
  Result r;
  CheckingPort port;
  Bytes opening;
  session.Start(opening);
  size_t at = 0;
  size_t k = 0;
  while (at < wire.size()) {
    size_t n = wire.size() - at;
    if (!cuts.empty()) n = std::min<size_t>(n, cuts[k++ % cuts.size()] % 9 + 1);
    session.FromClient(wire.subspan(at, n), port, r.device, r.client);
    at += n;
    fuzz::Require(session.PendingBytes() <= TelnetComPortSession::kMaxSubnegotiation,
                  "subnegotiation held past its bound");
  }
  r.calls = port.log();
  return r;
}

// The server's answers must be Telnet: IAC is followed by a negotiation, a
// com port reply ended by IAC SE, or is doubled; returns the negotiations.
size_t CheckAnswers(const Bytes& out) {
  size_t verbs = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] != kIac) continue;
    fuzz::Require(i + 1 < out.size(), "answer ends in a lone IAC",
                  [&] { return Show(out); });
    const uint8_t c = out[++i];
    if (c >= kWill && c <= kDont) {
      fuzz::Require(i + 1 < out.size(), "negotiation without option");
      ++i;
      ++verbs;
    } else if (c == kSb) {
      fuzz::Require(
          i + 2 < out.size() && out[i + 1] == kOptComPort &&
              out[i + 2] >= kServerOffset && out[i + 2] <= kServerOffset + kPurgeData,
          "subnegotiation that is not a com port reply", [&] { return Show(out); });
      i += 2;
      for (;;) {
        fuzz::Require(i + 2 < out.size(), "com port reply without IAC SE",
                      [&] { return Show(out); });
        if (out[i + 1] == kIac && out[i + 2] == kIac) {
          i += 2;
        } else if (out[i + 1] == kIac) {
          fuzz::Require(out[i + 2] == kSe, "lone IAC inside a reply");
          i += 2;
          break;
        } else {
          ++i;
        }
      }
    } else {
      fuzz::Require(c == kIac, "answer holds a command other than negotiation or reply",
                    [&] { return Show(out); });
    }
  }
  return verbs;
}

void RawBytes(std::span<const uint8_t> input) {
  TelnetComPortSession whole;
  TelnetComPortSession pieces;
  const Result a = Feed(input, {}, whole);
  const Result b = Feed(input, input, pieces);
  fuzz::Require(a.device == b.device, "device data depends on where reads end",
                [&] { return Show(a.device) + "\nversus\n" + Show(b.device); });
  fuzz::Require(a.client == b.client, "answers depend on where reads end",
                [&] { return Show(a.client) + "\nversus\n" + Show(b.client); });
  fuzz::Require(a.calls == b.calls, "port calls depend on where reads end",
                [&] { return a.calls + "\nversus\n" + b.calls; });

  size_t ffs = 0;
  for (uint8_t byte : a.device) ffs += (byte == kIac);
  fuzz::Require(a.device.size() + ffs <= input.size(), "device got more than was sent");

  size_t asked = 0;
  for (size_t i = 0; i + 1 < input.size(); ++i) {
    asked += (input[i] == kIac && input[i + 1] >= kWill && input[i + 1] <= kDont);
  }
  // The "are you there" answer is plain text; drop it before the check.
  Bytes answers;
  static constexpr std::string_view kHere = "\r\n[QMX: yes]\r\n";
  for (size_t i = 0; i < a.client.size();) {
    if (a.client[i] == '\r' && a.client.size() - i >= kHere.size() &&
        std::equal(kHere.begin(), kHere.end(), a.client.begin() + static_cast<long>(i))) {
      i += kHere.size();
    } else {
      answers.push_back(a.client[i++]);
    }
  }
  fuzz::Require(CheckAnswers(answers) <= asked, "more negotiation answered than asked");
  fuzz::Require(a.client.size() <= 8 * input.size() + 64, "answers out of proportion");
}

void Recipe(std::span<const uint8_t> input) {
  Bytes wire = {kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort};
  Bytes expected;
  size_t i = 0;
  auto next = [&]() -> uint8_t { return i < input.size() ? input[i++] : 0; };
  auto data = [&](uint8_t b) {
    wire.push_back(b);
    if (b == kIac) wire.push_back(kIac);
    expected.push_back(b);
  };
  while (i < input.size()) {
    const uint8_t op = next();
    switch (op % 8) {
      case 4: {  // a negotiation; the client never stops sending binary
        const auto verb = static_cast<uint8_t>(kWill + next() % 4);
        uint8_t option = next();
        if (verb == kWont && option == kOptBinary) option = kOptEcho;
        wire.insert(wire.end(), {kIac, verb, option});
        break;
      }
      case 5: {  // a subnegotiation of any option, ended properly
        wire.insert(wire.end(), {kIac, kSb, next()});
        for (int n = next() % 16; n > 0; --n) {
          const uint8_t b = next();
          wire.push_back(b);
          if (b == kIac) wire.push_back(kIac);
        }
        wire.insert(wire.end(), {kIac, kSe});
        break;
      }
      case 6:  // another command: SE, NOP, data mark, break, ..., go ahead
        wire.insert(wire.end(), {kIac, static_cast<uint8_t>(kSe + next() % 10)});
        break;
      case 7:
        for (int n = next() % 32; n > 0; --n) data(next());
        break;
      default:
        data(next());
        break;
    }
  }

  TelnetComPortSession session;
  const Result r = Feed(wire, input, session);
  fuzz::Require(r.device == expected, "device data is not exactly the data sent",
                [&] { return Show(r.device) + "\nexpected\n" + Show(expected); });

  Bytes out;
  session.ToClient(expected, out);
  Bytes decoded;
  const bool binary = session.ClientReceivesBinary();
  for (size_t k = 0; k < out.size(); ++k) {
    if (out[k] == kIac) {
      fuzz::Require(k + 1 < out.size() && out[k + 1] == kIac,
                    "device byte 0xFF not doubled");
      ++k;
    } else if (out[k] == '\r' && !binary) {
      fuzz::Require(k + 1 < out.size() && out[k + 1] == 0, "bare CR to a text client");
      decoded.push_back(out[k++]);
      continue;
    }
    decoded.push_back(out[k]);
  }
  fuzz::Require(decoded == expected, "device data does not reach the client intact");
}

}  // namespace
}  // namespace qmx::telnet

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  qmx::telnet::RawBytes(input);
  qmx::telnet::Recipe(input);
  return 0;
}
