// How many lines and serial ports the server has: the control line and eight
// data lines, each data line with its serial port slot. Every layer sizes its
// tables from these.
#pragma once

namespace qmx {

inline constexpr int kLineCount = 9;  // line 0 the control line, 1 to 8 data lines
inline constexpr int kPortCount = 8;  // port index n belongs to data line n + 1

// The control line serves up to this many clients at once, each in a session
// of its own. Session 0 is the control line's own socket record (line 0); the
// socket layer keeps a record for each further one after the data lines'.
inline constexpr int kMaxControlClients = 16;
inline constexpr int kSocketRecords = kLineCount + kMaxControlClients - 1;
// The socket record of control session `s` (0 to kMaxControlClients - 1).
constexpr int ControlSessionRecord(int s) { return s == 0 ? 0 : kLineCount + s - 1; }

}  // namespace qmx
