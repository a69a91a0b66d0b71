// Fuzz target: the definition text parser and the termios block built from
// its result.
//
// A definition text "baud,parity,data,stop" comes from the settings file, the
// window or an open command, so any text can reach ParseDefinition. For every
// text it must either refuse or give settings that are in range and that read
// back the same when written out again; for accepted settings the termios
// block must carry exactly them, whatever the device's previous block held.
#include <asm/termbits.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "serial/line_settings.h"
#include "serial/termios_config.h"

namespace qmx {
namespace {

char ParityLetter(Parity parity) {
  switch (parity) {
    case Parity::kNone:
      return 'n';
    case Parity::kOdd:
      return 'o';
    case Parity::kEven:
      return 'e';
    case Parity::kMark:
      return 'm';
    case Parity::kSpace:
      return 's';
  }
  fuzz::Fail("parity outside its enumeration", std::to_string(static_cast<int>(parity)));
}

const char* StopBitsText(StopBits stopBits) {
  switch (stopBits) {
    case StopBits::kOne:
      return "1";
    case StopBits::kOneAndHalf:
      return "1.5";
    case StopBits::kTwo:
      return "2";
  }
  fuzz::Fail("stop bits outside their enumeration",
             std::to_string(static_cast<int>(stopBits)));
}

std::string DefinitionText(const LineSettings& s) {
  return std::to_string(s.baud) + "," + ParityLetter(s.parity) + "," +
         std::to_string(s.dataBits) + "," + StopBitsText(s.stopBits);
}

bool SameSettings(const LineSettings& a, const LineSettings& b) {
  return a.baud == b.baud && a.parity == b.parity && a.dataBits == b.dataBits &&
         a.stopBits == b.stopBits;
}

// The rates the kernel has a constant for: these are set with it, so that
// tools reading the classic termios block see them; any other as a number.
bool StandardRate(int baud) {
  constexpr int kRates[] = {50,      75,      110,     134,     150,     200,
                            300,     600,     1200,    1800,    2400,    4800,
                            9600,    19200,   38400,   57600,   115200,  230400,
                            460800,  500000,  576000,  921600,  1000000, 1152000,
                            1500000, 2000000, 2500000, 3000000, 3500000, 4000000};
  for (int rate : kRates) {
    if (rate == baud) return true;
  }
  return false;
}

tcflag_t SizeFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

void CheckTermios(const termios2& previous, const LineSettings& s, FlowControl flow,
                  std::string_view text) {
  const termios2 t = BuildTermios2(previous, s, flow);
  auto where = [&] { return "definition \"" + fuzz::Visible(text) + "\""; };
  fuzz::Require(t.c_ispeed == static_cast<speed_t>(s.baud) &&
                    t.c_ospeed == static_cast<speed_t>(s.baud),
                "the termios block does not carry the baud rate", where);
  const tcflag_t outputCode = t.c_cflag & CBAUD;
  fuzz::Require(((t.c_cflag >> IBSHIFT) & CBAUD) == outputCode,
                "the termios block has another rate code for input", where);
  fuzz::Require((outputCode == BOTHER) != StandardRate(s.baud),
                StandardRate(s.baud) ? "a standard rate is set as a custom speed"
                                     : "a custom rate is not set as a number",
                where);
  fuzz::Require((t.c_cflag & CSIZE) == SizeFlag(s.dataBits),
                "the termios block has other data bits", where);
  const bool parity = s.parity != Parity::kNone;
  fuzz::Require(
      ((t.c_cflag & PARENB) != 0) == parity && ((t.c_iflag & INPCK) != 0) == parity,
      "the termios block has parity on where the text has none, or off", where);
  const bool fixedParity = s.parity == Parity::kMark || s.parity == Parity::kSpace;
  fuzz::Require(((t.c_cflag & CMSPAR) != 0) == fixedParity,
                "the termios block fixes the parity bit where the text does not, or not",
                where);
  const bool oddBit = s.parity == Parity::kOdd || s.parity == Parity::kMark;
  fuzz::Require(((t.c_cflag & PARODD) != 0) == oddBit,
                "the termios block has the other parity sense", where);
  fuzz::Require(((t.c_cflag & CSTOPB) != 0) == (s.stopBits != StopBits::kOne),
                "the termios block has other stop bits", where);
  fuzz::Require((t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD),
                "the termios block ignores the modem lines or cannot receive", where);
  fuzz::Require(((t.c_cflag & CRTSCTS) != 0) == (flow == FlowControl::kHardware),
                "the termios block has other hardware flow control", where);
  const tcflag_t xonXoff = IXON | IXOFF;
  fuzz::Require((t.c_iflag & xonXoff) == (flow == FlowControl::kXonXoff ? xonXoff : 0),
                "the termios block has other Xon/Xoff flow control", where);
  fuzz::Require((t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY | PARMRK)) == 0 &&
                    (t.c_oflag & OPOST) == 0 &&
                    (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0,
                "the termios block is not raw", where);
  fuzz::Require(t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0,
                "reads do not return as soon as a byte is there", where);
}

}  // namespace
}  // namespace qmx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmx;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  // The flow letter of the same text: only its first byte counts.
  const FlowControl flow = FlowFromText(text);
  const FlowControl expectedFlow = text.empty()          ? FlowControl::kNone
                                   : text.front() == 'h' ? FlowControl::kHardware
                                   : text.front() == 'x' ? FlowControl::kXonXoff
                                                         : FlowControl::kNone;
  fuzz::Require(flow == expectedFlow, "the flow letter is misread",
                [&] { return fuzz::Visible(text); });

  const std::optional<LineSettings> settings = ParseDefinition(text);
  if (!settings) return 0;

  auto where = [&] { return "definition \"" + fuzz::Visible(text) + "\""; };
  size_t commas = 0;
  for (char c : text) commas += c == ',' ? 1 : 0;
  fuzz::Require(commas == 3, "a text without exactly four items was accepted", where);
  fuzz::Require(settings->baud > 0, "a baud rate of zero or less was accepted", where);
  fuzz::Require(settings->dataBits >= 5 && settings->dataBits <= 8,
                "data bits outside 5 to 8 were accepted", where);

  const std::string again = DefinitionText(*settings);
  const std::optional<LineSettings> reread = ParseDefinition(again);
  fuzz::Require(reread.has_value() && SameSettings(*reread, *settings),
                "accepted settings do not read back from their own text",
                [&] { return where() + " written as \"" + again + "\""; });

  // The previous block of the device: all clear, and all set.
  termios2 previous{};
  CheckTermios(previous, *settings, flow, text);
  std::memset(&previous, 0xFF, sizeof previous);
  CheckTermios(previous, *settings, flow, text);
  return 0;
}
