#include "telnet/com_port_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telnet/telnet_codes.h"

namespace qmx::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Verb(uint8_t verb, uint8_t option) { return {kIac, verb, option}; }
// IAC SB COM-PORT-OPTION code value IAC SE, with the value escaped.
Bytes Sb(uint8_t code, Bytes value = {}) {
  Bytes out{kIac, kSb, kOptComPort, code};
  for (uint8_t b : value) {
    out.push_back(b);
    if (b == kIac) out.push_back(kIac);
  }
  out.insert(out.end(), {kIac, kSe});
  return out;
}
Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// A port that takes rates up to 4000000 and DTR/RTS/BREAK as asked, and
// notes every call so that split feeds can be compared.
class FakePort : public ComPortControl {
 public:
  uint32_t SetBaudRate(uint32_t r) override {
    Note("baud", r);
    if (r != 0 && r <= 4000000) baud = r;
    return baud;
  }
  uint8_t SetDataSize(uint8_t r) override { return Keep("data", r, dataSize); }
  uint8_t SetParity(uint8_t r) override { return Keep("parity", r, parity); }
  uint8_t SetStopSize(uint8_t r) override { return Keep("stop", r, stopSize); }
  uint8_t SetControl(uint8_t r) override {
    Note("control", r);
    if (r == kControlFlowDcd) return flow;  // refused: stays as it is
    if (FlowOut(r)) flow = r;
    if (r == kControlBreakOn || r == kControlBreakOff) brk = r;
    if (r == kControlDtrOn || r == kControlDtrOff) dtr = r;
    if (r == kControlRtsOn || r == kControlRtsOff) rts = r;
    if (r == kControlAskFlow || FlowOut(r)) return flow;
    if (r == kControlAskInboundFlow) return static_cast<uint8_t>(flow + 13);
    if (r <= kControlBreakOff) return brk;
    if (r <= kControlDtrOff) return dtr;
    return rts;
  }
  void Purge(uint8_t which) override { Note("purge", which); }
  void SuspendOutput(bool s) override { Note("suspend", s ? 1 : 0); }

  std::string log;
  uint32_t baud = 9600;
  uint8_t dataSize = 8, parity = kParityNone, stopSize = kStopOne;
  uint8_t flow = kControlFlowNone, brk = kControlBreakOff, dtr = kControlDtrOn,
          rts = kControlRtsOn;

 private:
  static bool FlowOut(uint8_t r) {
    return r >= kControlFlowNone && r <= kControlFlowHardware;
  }
  void Note(const char* what, uint32_t v) {
    log += std::string(what) + "=" + std::to_string(v) + ";";
  }
  uint8_t Keep(const char* what, uint8_t r, uint8_t& field) {
    Note(what, r);
    if (r != 0) field = r;
    return field;
  }
};

struct Peer {
  TelnetComPortSession session;
  FakePort port;
  Bytes device, client;
  Bytes Send(const Bytes& bytes) {
    client.clear();
    session.FromClient(bytes, port, device, client);
    return client;
  }
  // Negotiates the way a typical client does, and forgets the answers.
  void Open() {
    Bytes ignored;
    session.Start(ignored);
    Send(Cat({Verb(kWill, kOptBinary), Verb(kDo, kOptBinary), Verb(kWill, kOptComPort)}));
  }
};

TEST(TelnetSession, NegotiationIsAnsweredOnceInAnyOrder) {
  Peer p;
  Bytes start;
  p.session.Start(start);
  EXPECT_EQ(start, Cat({Verb(kWill, kOptBinary), Verb(kDo, kOptBinary),
                        Verb(kWill, kOptSuppressGoAhead), Verb(kDo, kOptSuppressGoAhead),
                        Verb(kDo, kOptComPort)}));
  EXPECT_FALSE(p.session.ComPortEnabled());
  // The client's own requests cross the server's: what the server asked
  // for is not answered again; DO COM-PORT-OPTION is agreed and turns the
  // option on, which sends the modem lines once; ECHO is refused.
  const Bytes opening =
      Cat({Verb(kDo, kOptEcho), Verb(kWill, kOptSuppressGoAhead),
           Verb(kDo, kOptSuppressGoAhead), Verb(kDo, kOptComPort),
           Verb(kWill, kOptComPort), Verb(kWill, kOptBinary), Verb(kDo, kOptBinary)});
  EXPECT_EQ(p.Send(opening), Cat({Verb(kWont, kOptEcho),
                                  Verb(kWill, kOptComPort),
                                  {kIac, kSb, kOptComPort, 107, 0, kIac, kSe}}));
  EXPECT_TRUE(p.session.ComPortEnabled());
  EXPECT_TRUE(p.session.ClientSendsBinary());
  EXPECT_TRUE(p.session.ClientReceivesBinary());
  EXPECT_TRUE(p.Send(opening).size() == 3) << "only the refusal of ECHO again";
  EXPECT_TRUE(p.device.empty());

  // Unknown options are refused, one answer per request; a peer's refusal
  // of something already off is not answered, so nothing can ping-pong.
  EXPECT_EQ(p.Send(Cat({Verb(kWill, 24), Verb(kDo, 31)})),
            Cat({Verb(kDont, 24), Verb(kWont, 31)}));
  EXPECT_TRUE(p.Send(Cat({Verb(kWont, 24), Verb(kDont, 31), Verb(kWont, 99)})).empty());
  // Turning BINARY off is acknowledged once, then it is off.
  EXPECT_EQ(p.Send(Verb(kWont, kOptBinary)), Verb(kDont, kOptBinary));
  EXPECT_TRUE(p.Send(Verb(kWont, kOptBinary)).empty());
  EXPECT_FALSE(p.session.ClientSendsBinary());

  // A client that refuses what the server asked for gets no answer.
  Peer q;
  q.session.Start(start);
  EXPECT_TRUE(q.Send(Cat({Verb(kDont, kOptBinary), Verb(kWont, kOptComPort)})).empty());
  EXPECT_FALSE(q.session.ComPortEnabled());
  EXPECT_FALSE(q.session.ClientReceivesBinary());
  // Com port commands before the option is on are ignored.
  EXPECT_TRUE(q.Send(Sb(kSetBaudRate, {0, 1, 0xC2, 0})).empty());
  EXPECT_TRUE(q.port.log.empty());
}

TEST(TelnetSession, EachCommandIsAnsweredWithTheValueInForce) {
  Peer p;
  p.Open();
  auto answer = [](uint8_t code, Bytes value) { return Sb(code + kServerOffset, value); };
  // Baud rate: set, ask, refused, and a rate holding 0xFF in its bytes.
  EXPECT_EQ(p.Send(Sb(kSetBaudRate, {0, 1, 0xC2, 0})), answer(1, {0, 1, 0xC2, 0}));
  EXPECT_EQ(p.Send(Sb(kSetBaudRate, {0, 0, 0, 0})), answer(1, {0, 1, 0xC2, 0}));
  EXPECT_EQ(p.Send(Sb(kSetBaudRate, {0, 0x98, 0x96, 0x80})), answer(1, {0, 1, 0xC2, 0}));
  EXPECT_EQ(p.Send(Sb(kSetBaudRate, {0, 1, 0xFF, 0})), answer(1, {0, 1, 0xFF, 0}));
  EXPECT_EQ(p.port.baud, 130816u);
  EXPECT_EQ(p.Send(Sb(kSetBaudRate, {1, 2})), answer(1, {0, 1, 0xFF, 0}));  // short: ask
  // Data size, parity, stop size; values out of range only ask.
  EXPECT_EQ(p.Send(Sb(kSetDataSize, {7})), answer(2, {7}));
  EXPECT_EQ(p.Send(Sb(kSetDataSize, {9})), answer(2, {7}));
  EXPECT_EQ(p.Send(Sb(kSetParity, {kParityEven})), answer(3, {kParityEven}));
  EXPECT_EQ(p.Send(Sb(kSetParity, {6})), answer(3, {kParityEven}));
  EXPECT_EQ(p.Send(Sb(kSetStopSize, {kStopOneAndHalf})), answer(4, {kStopOneAndHalf}));
  EXPECT_EQ(p.Send(Sb(kSetStopSize, {0})), answer(4, {kStopOneAndHalf}));
  // Control: flow, BREAK, DTR, RTS and their questions; a refused flow.
  const std::vector<std::pair<uint8_t, uint8_t>> control = {
      {kControlFlowHardware, kControlFlowHardware},
      {kControlAskFlow, kControlFlowHardware},
      {kControlAskInboundFlow, kControlInboundFlowHardware},
      {kControlFlowDcd, kControlFlowHardware},
      {kControlBreakOn, kControlBreakOn},
      {kControlAskBreak, kControlBreakOn},
      {kControlBreakOff, kControlBreakOff},
      {kControlDtrOff, kControlDtrOff},
      {kControlAskDtr, kControlDtrOff},
      {kControlRtsOff, kControlRtsOff},
      {kControlAskRts, kControlRtsOff},
      {20, kControlFlowHardware}};  // unknown: asks for the flow in force
  for (auto [request, inForce] : control) {
    EXPECT_EQ(p.Send(Sb(kSetControl, {request})), answer(5, {inForce})) << int(request);
  }
  // Purge: each buffer, and nothing for an unknown value.
  p.port.log.clear();
  EXPECT_EQ(p.Send(Sb(kPurgeData, {kPurgeReceive})), answer(12, {1}));
  EXPECT_EQ(p.Send(Sb(kPurgeData, {kPurgeBoth})), answer(12, {3}));
  EXPECT_EQ(p.Send(Sb(kPurgeData, {7})), answer(12, {0}));
  // Suspend and resume are carried out but not answered.
  EXPECT_TRUE(p.Send(Sb(kFlowControlSuspend)).empty());
  EXPECT_TRUE(p.session.OutputSuspended());
  EXPECT_TRUE(p.Send(Sb(kFlowControlResume)).empty());
  EXPECT_EQ(p.port.log, "purge=1;purge=3;suspend=1;suspend=0;");
  // Masks, and polls of the states, which are answered whatever the mask.
  EXPECT_EQ(p.Send(Sb(kSetLineStateMask, {0x1E})), answer(10, {0x1E}));
  EXPECT_EQ(p.Send(Sb(kSetModemStateMask, {0xFF})), answer(11, {0xFF}));
  EXPECT_EQ(p.Send(Sb(kSetModemStateMask, {})), answer(11, {0xFF}));
  p.session.ModemState(kModemCts | kModemDsr, p.client);
  EXPECT_EQ(p.Send(Sb(kNotifyModemState)), answer(7, {kModemCts | kModemDsr}));
  EXPECT_EQ(p.Send(Sb(kNotifyLineState)), answer(6, {0}));
  // Signature: a request gets the server's text, naming QMX; a client's own
  // signature (here holding 0xFF) is kept and answered the same way.
  const Bytes ours = Text(TelnetComPortSession::DefaultSignature());
  EXPECT_EQ(Text(TelnetComPortSession::DefaultSignature()).size() > 4, true);
  EXPECT_EQ(TelnetComPortSession::DefaultSignature().rfind("QMX ", 0), 0u);
  EXPECT_EQ(p.Send(Sb(kSignature)), answer(0, ours));
  EXPECT_EQ(p.Send(Sb(kSignature, {'p', 0xFF, 'y'})), answer(0, ours));
  EXPECT_EQ(p.session.ClientSignature(), "p\xFFy");
  EXPECT_TRUE(p.device.empty());
}

TEST(TelnetSession, NotificationsFollowTheMasksAndChanges) {
  Peer p;
  Bytes out;
  p.session.ModemState(kModemCd, out);  // option not on yet: kept, not sent
  p.session.LineState(kLineOverrun, out);
  EXPECT_TRUE(out.empty());
  p.Open();
  EXPECT_EQ(p.client, Sb(107, {kModemCd}));  // the lines as they stand
  auto notify = [&](bool modem, uint8_t state) {
    out.clear();
    if (modem) p.session.ModemState(state, out);
    if (!modem) p.session.LineState(state, out);
    return out;
  };
  EXPECT_EQ(notify(true, kModemCd), Bytes{});  // no change
  EXPECT_EQ(notify(true, kModemCd | kModemRi), Sb(107, {kModemCd | kModemRi}));
  EXPECT_EQ(notify(true, kModemCd | kModemCts),
            Sb(107, {kModemCd | kModemCts | kModemRiTrailingEdge | kModemDeltaCts}));
  EXPECT_EQ(notify(true, kModemDsr),
            Sb(107, {kModemDsr | kModemDeltaCd | kModemDeltaCts | kModemDeltaDsr}));
  // Only the changes of CD count.
  p.Send(Sb(kSetModemStateMask, {kModemDeltaCd}));
  EXPECT_EQ(notify(true, kModemDsr | kModemCts), Bytes{});
  EXPECT_EQ(notify(true, kModemCd), Sb(107, {kModemDeltaCd}));
  // The line state mask starts empty.
  EXPECT_EQ(notify(false, kLineOverrun), Bytes{});
  p.Send(Sb(kSetLineStateMask, {kLineOverrun | kLineBreak}));
  EXPECT_EQ(notify(false, kLineBreak | kLineDataReady), Sb(106, {kLineBreak}));
  EXPECT_EQ(notify(false, kLineBreak | kLineDataReady), Bytes{});  // unchanged
  EXPECT_EQ(notify(false, 0), Bytes{});
  EXPECT_EQ(notify(false, kLineBreak), Sb(106, {kLineBreak}));
}

TEST(TelnetSession, AllByteValuesPassBothWaysAndNoCommandReachesTheDevice) {
  Peer p;
  p.Open();
  Bytes all, escaped;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<uint8_t>(i));
    escaped.push_back(static_cast<uint8_t>(i));
    if (i == kIac) escaped.push_back(kIac);
  }
  p.Send(escaped);
  EXPECT_EQ(p.device, all);
  Bytes out;
  p.session.ToClient(all, out);
  EXPECT_EQ(out, escaped);

  // Commands amid data: NOP, break, go ahead, data mark, a stray SE,
  // subnegotiations of other options; are-you-there is answered.
  p.device.clear();
  const Bytes mixed = Cat({Text("ab"),
                           {kIac, kNop, 'c', kIac, 243, kIac, 249, kIac, 242},
                           {kIac, kSe, kIac, kSb, 24, 1, 'x', kIac, kSe, 'd'},
                           {kIac, kAyt, 'e'}});
  EXPECT_EQ(p.Send(mixed), Text("\r\n[QMX: yes]\r\n"));
  EXPECT_EQ(p.device, Text("abcde"));

  // Without BINARY, CR travels as CR NUL both ways; split after the CR.
  Peer t;
  Bytes ignored;
  t.session.Start(ignored);
  t.Send(Cat({Verb(kDont, kOptBinary), Verb(kWont, kOptBinary)}));
  t.Send({'a', '\r'});
  t.Send({0, '\r', '\n', 0});
  EXPECT_EQ(t.device, (Bytes{'a', '\r', '\r', '\n', 0}));
  out.clear();
  t.session.ToClient(Bytes{'\r', '\n', kIac}, out);
  EXPECT_EQ(out, (Bytes{'\r', 0, '\n', kIac, kIac}));
}

// A client's side of a whole session: negotiation, settings, data with
// 0xFF, a subnegotiation holding IAC IAC, an abandoned one, a signature.
Bytes RecordedExchange() {
  return Cat({Verb(kDo, kOptEcho),
              Verb(kWill, kOptSuppressGoAhead),
              Verb(kDo, kOptComPort),
              Verb(kWill, kOptComPort),
              Verb(kWill, kOptBinary),
              Verb(kDo, kOptBinary),
              Sb(kSetBaudRate, {0, 1, 0xFF, 0}),
              Sb(kSetDataSize, {7}),
              Sb(kSetParity, {kParityOdd}),
              Sb(kSetControl, {kControlDtrOff}),
              {'h', 'i', kIac, kIac, 0, '\r', kIac, kIac, kIac, kNop, 'x'},
              Sb(kPurgeData, {kPurgeBoth}),
              {kIac, kSb, kOptComPort, kSignature, 'q', 'q'},
              Verb(kWill, 5),
              Sb(kSignature, {'c', 0xFF}),
              Verb(kDont, kOptSuppressGoAhead),
              Sb(kSetModemStateMask, {0x0F}),
              {0xFF, 0xFF, 'e', 'n', 'd'}});
}

TEST(TelnetSession, EverySplitOfARecordedExchangeGivesTheSameResult) {
  const Bytes wire = RecordedExchange();
  Peer whole;
  whole.Open();
  whole.Send(wire);
  const Bytes reply = whole.client;
  ASSERT_EQ(whole.device,
            (Bytes{'h', 'i', 0xFF, 0, '\r', 0xFF, 'x', 0xFF, 'e', 'n', 'd'}));
  ASSERT_EQ(whole.session.ClientSignature(), "c\xFF");

  // Three chunks, cut at every pair of points (one or both may be empty).
  for (size_t i = 0; i <= wire.size(); ++i) {
    for (size_t j = i; j <= wire.size(); ++j) {
      Peer split;
      split.Open();
      Bytes got;
      for (auto [from, to] : {std::pair{size_t{0}, i}, {i, j}, {j, wire.size()}}) {
        split.session.FromClient(std::span(wire).subspan(from, to - from), split.port,
                                 split.device, got);
        ASSERT_LE(split.session.PendingBytes(), TelnetComPortSession::kMaxSubnegotiation);
      }
      ASSERT_EQ(split.device, whole.device) << "split at " << i << ", " << j;
      ASSERT_EQ(got, reply) << "split at " << i << ", " << j;
      ASSERT_EQ(split.port.log, whole.port.log) << "split at " << i << ", " << j;
    }
  }
}

TEST(TelnetSession, SubnegotiationsStayBoundedAndEndCleanly) {
  Peer p;
  p.Open();
  // IAC at the end of one read and IAC at the start of the next: one 0xFF,
  // in data and inside a subnegotiation.
  p.Send({'a', kIac});
  p.Send({kIac, 'b'});
  EXPECT_EQ(p.device, (Bytes{'a', 0xFF, 'b'}));
  p.Send({kIac, kSb, kOptComPort, kSetBaudRate, 0, 1, kIac});
  EXPECT_EQ(p.Send({kIac, 0, kIac, kSe}), Sb(101, {0, 1, 0xFF, 0}));

  // A signature far over the bound is cut, held memory never grows past it.
  const Bytes ours = Text(TelnetComPortSession::DefaultSignature());
  Bytes huge{kIac, kSb, kOptComPort, kSignature};
  huge.insert(huge.end(), 100000, 'z');
  p.Send(huge);
  EXPECT_EQ(p.session.PendingBytes(), TelnetComPortSession::kMaxSubnegotiation);
  EXPECT_EQ(p.Send({kIac, kSe}), Sb(100, ours));
  EXPECT_EQ(p.session.ClientSignature(),
            std::string(TelnetComPortSession::kMaxSubnegotiation - 1, 'z'));

  // An unterminated subnegotiation swallows what follows, until a command
  // other than IAC IAC or SE abandons it; then data flows again.
  p.device.clear();
  EXPECT_TRUE(
      p.Send({kIac, kSb, kOptComPort, kSetDataSize, 5, 'l', 'o', 's', 't'}).empty());
  EXPECT_EQ(p.Send({kIac, kWill, 24, 'o', 'k'}), Verb(kDont, 24));
  EXPECT_EQ(p.device, Text("ok"));
  EXPECT_EQ(p.session.PendingBytes(), 0u);
  EXPECT_EQ(p.port.dataSize, 8);  // the abandoned command was not carried out
}

}  // namespace
}  // namespace qmx::telnet
