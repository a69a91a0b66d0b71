// The kernel's termios2 block for a port's line settings, and applying it.
//
// A rate the kernel has a constant for (B50 to B4000000) is set as that
// constant, for output and input alike, so that tools reading the classic
// termios block (stty, cfgetospeed) see the real speed. Any other rate (14400,
// say) is set with BOTHER as a plain number, which termios2 carries exactly.
// c_ispeed and c_ospeed hold the number either way. The block is
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

// The CBAUD code for `baud`: the kernel's constant for a standard rate, else
// BOTHER.
tcflag_t BaudCode(int baud);

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
