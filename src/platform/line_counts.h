// How many lines and serial ports a server may have: the control line and
// up to 64 data lines, each data line with its serial port slot. Tables are
// sized for the most a server may have; a server has kDefaultDataLines
// unless it is made with more (LineTable::DataLines says how many), and the
// records past its own lines stay unused.
#pragma once

#include <bitset>

namespace qmx {

inline constexpr int kDefaultDataLines = 8;
inline constexpr int kMaxDataLines = 64;
inline constexpr int kMaxLineCount = kMaxDataLines + 1;  // line 0 the control line
inline constexpr int kMaxPortCount = kMaxDataLines;  // port n belongs to data line n + 1

// A set of lines: bit L for line L, bit 0 the control line.
using LineSet = std::bitset<kMaxLineCount>;

// The control line serves up to this many clients at once, each in a session
// of its own. Session 0 is the control line's own socket record (line 0); the
// socket layer keeps a record for each further one after the data lines'.
inline constexpr int kMaxControlClients = 16;
inline constexpr int kSocketRecords = kMaxLineCount + kMaxControlClients - 1;
// The socket record of control session `s` (0 to kMaxControlClients - 1).
constexpr int ControlSessionRecord(int s) { return s == 0 ? 0 : kMaxLineCount + s - 1; }

}  // namespace qmx
