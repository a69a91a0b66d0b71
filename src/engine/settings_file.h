// The settings file qmx.txt in the server's folder: which TCP port each line
// uses, which serial port each data line serves (or copies), the line settings
// of the eight serial ports and whether the window starts minimized.
//
// 19 lines: a free first line; the control line's TCP port; the eight data
// lines (TCP port, serial port); the eight serial ports (name, baud, parity,
// data bits, stop bits, flow); the minimize flag. Fields are separated by runs
// of blanks, commas, tabs and LFs. The text after the last field a line needs
// is its remark, kept in setupRemarks and written back in the same place.
// Lines end in CR LF on disk; a file with LF endings reads the same.
//
// Parsing and formatting are pure functions over the line table's types; the
// file functions need engineLock held (engine/line_table.h). A save never
// follows or replaces a file it did not create itself, other than qmx.txt or
// the file a qmx.txt link leads to.
#pragma once

#include <string>
#include <string_view>

#include "engine/line_table.h"

namespace qmx {

inline constexpr const char* kSetupFileName = "qmx.txt";

// Fills the line table from the text of a settings file (CR LF or LF line
// ends). Lines the text does not have change nothing.
void ParseSetupText(LineTable& table, std::string_view text) REQUIRES(table.engineLock);

// The settings file's text for the current line table, with LF line ends.
// When no first line was ever read, a short heading stands in for it so that
// the file reads back with every line in its place.
std::string BuildSetupText(LineTable& table) REQUIRES(table.engineLock);

// LF -> CR LF, the file's own format on disk.
std::string ToDiskLineEnds(std::string_view text);

// Reads qmx.txt into the line table. Returns false when the file cannot be
// read (missing, unreadable, not a regular file); *reason, when given, then
// says why (the system's error text, or "not a regular file"). A file that
// may be read but not written is read; WriteSetupFile then fails on it.
// Only a regular file is read, without ever waiting: a FIFO or a device of
// that name counts as missing. Only the start of the file that holds its 19
// lines is read, however large the file is.
bool ReadSetupFile(LineTable& table, std::string* reason = nullptr)
    REQUIRES(table.engineLock);

// Writes the line table to qmx.txt. The new text goes to a fresh file beside
// the file it replaces, is flushed and renamed over it, so a failed write
// never leaves a half-written settings file and nothing new stays behind.
// When qmx.txt is a symbolic link, the link stays and the file it leads to is
// replaced, keeping that file's mode and owner. Returns false, with *reason
// when given, when the file cannot be written (an existing qmx.txt that is
// read-only or not a regular file, or a folder where no file can be made).
bool WriteSetupFile(LineTable& table, std::string* reason = nullptr)
    REQUIRES(table.engineLock);

}  // namespace qmx
