// Line settings of a serial port as plain values: the definition text
// "baud,parity,data,stop" (for example 9600,n,8,1) and the flow-control text,
// parsed without touching a device.
//
// Pure functions, safe on any thread. Building the kernel's termios2 block from
// these values lives in termios_config.h: that header needs <asm/termbits.h>,
// which cannot share a translation unit with <termios.h>, so this one includes
// neither.
#pragma once

#include <optional>
#include <string_view>

namespace qmx {

// The values are the parity codes that the configuration trace prints.
enum class Parity { kNone = 0, kOdd = 1, kEven = 2, kMark = 3, kSpace = 4 };

enum class StopBits { kOne, kOneAndHalf, kTwo };

enum class FlowControl { kNone, kHardware, kXonXoff };

struct LineSettings {
  int baud = 9600;
  Parity parity = Parity::kNone;
  int dataBits = 8;
  StopBits stopBits = StopBits::kOne;
};

// Parses "baud,parity,data,stop": a positive decimal baud rate, one parity
// letter (n, e, o, m or s, either case), data bits 5 to 8 and stop bits 1, 1.5
// or 2. Blanks around an item are allowed. Anything else (a missing or extra
// item, a zero baud rate, an unknown letter) gives nothing: a port is never
// opened with half-understood settings.
std::optional<LineSettings> ParseDefinition(std::string_view text);

// Only the first character counts, case-sensitively: 'h' hardware handshake,
// 'x' Xon/Xoff, anything else (including "Xon/Xoff" and an empty text) none.
FlowControl FlowFromText(std::string_view flow);

// The stop-bit count that the configuration trace prints: 1, or 2 for one and
// a half and two.
int StopBitsTraceValue(StopBits stopBits);

}  // namespace qmx
