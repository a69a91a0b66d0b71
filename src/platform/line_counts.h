// How many lines and serial ports the server has: the control line and eight
// data lines, each data line with its serial port slot. Every layer sizes its
// tables from these.
#pragma once

namespace qmx {

inline constexpr int kLineCount = 9;  // line 0 the control line, 1 to 8 data lines
inline constexpr int kPortCount = 8;  // port index n belongs to data line n + 1

}  // namespace qmx
