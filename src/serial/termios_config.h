// The kernel's termios2 block for a port's line settings, and applying it.
//
// termios2 with BOTHER carries the baud rate as a plain number, so any rate in
// a definition text (14400 as well as 9600) is applied exactly. The block is
// raw: no echo, no line editing, no character translation, reads that return
// whatever has arrived; CLOCAL and CREAD are on, input parity checking (INPCK)
// is on whenever a parity is set.
//
// This header includes <asm/termbits.h>, which conflicts with <termios.h>:
// a translation unit includes one or the other, never both.
#pragma once

#include <asm/termbits.h>

#include "serial/line_settings.h"

namespace qmx {

inline constexpr unsigned char kXonChar = 0x11;   // DC1
inline constexpr unsigned char kXoffChar = 0x13;  // DC3

// `current` with the line settings and flow control applied; every flag the
// raw mode does not mention keeps its value.
termios2 BuildTermios2(const termios2& current, const LineSettings& settings,
                       FlowControl flow);

// Reads the device's block, applies BuildTermios2 and sets it (TCSETS2).
// Returns 1 when the device accepted the block, 0 otherwise. The block is not
// read back: a pseudo-terminal accepts and then reports 8 data bits and no
// parity whatever was asked.
int ApplyLineSettings(int fd, const LineSettings& settings, FlowControl flow);

}  // namespace qmx
