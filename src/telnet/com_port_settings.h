// Between the com port codes of remote port control and the server's own
// settings texts: the definition text "baud,parity,data,stop" (for example
// 9600,n,8,1; parity n/o/e/m/s, data 5 to 8, stop 1, 1.5 or 2) and the flow
// letter (n none, x XON/XOFF, h hardware).
//
// A client's change of one setting is applied by reading the definition in
// force into codes, changing the one field, and writing the definition text
// back, which then goes through the same path as an `open` with those
// settings. The texts written here are always ones the definition parser
// accepts.
//
// Pure functions, safe on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qmx::telnet {

// A port's line settings as com port codes (never 0, the "ask" value).
struct ComPortSettings {
  uint32_t baudRate = 9600;
  uint8_t dataSize = 8;  // 5..8
  uint8_t parity = 1;    // kParityNone .. kParitySpace
  uint8_t stopSize = 1;  // kStopOne, kStopTwo, kStopOneAndHalf
};

// Reads a definition text with the rules of the server's definition parser:
// four comma-separated items, blanks around an item allowed, a positive
// decimal baud rate, a parity letter in either case, 5 to 8 data bits, stop
// bits 1, 1.5 or 2. Anything else gives nothing.
std::optional<ComPortSettings> SettingsFromDefinition(std::string_view definition);

// The definition text of the settings, lower-case parity letter; nothing when
// a code is out of range or the rate is 0 or above what the parser accepts
// (2147483647).
std::optional<std::string> DefinitionFromSettings(const ComPortSettings& settings);

// Parity code to letter and back; '\0' / nothing for what has no counterpart.
char ParityLetter(uint8_t parity);
std::optional<uint8_t> ParityCode(char letter);

// Stop size code to text ("1", "2", "1.5") and back; empty / nothing likewise.
std::string_view StopText(uint8_t stopSize);
std::optional<uint8_t> StopCode(std::string_view text);

// The SET-CONTROL flow value in force for a flow text, read as the server
// reads it (first character 'h' hardware, 'x' XON/XOFF, anything else none):
// kControlFlowNone/XonXoff/Hardware, or the inbound kControlInboundFlow*
// values when `inbound`.
uint8_t FlowControlCode(std::string_view flow, bool inbound);

// The flow letter a SET-CONTROL flow value asks for ('n', 'x' or 'h', from
// the outbound and the inbound values alike); '\0' for values that are not a
// flow setting the server has (DCD, DTR and DSR flow control, and every value
// that is not about flow at all).
char FlowLetter(uint8_t control);

}  // namespace qmx::telnet
