// The settings file qmx.txt in the server's folder: which TCP port each line
// uses, which serial port each data line serves (or copies), the line settings
// of the serial ports and whether the window starts minimized.
//
// 19 lines: a free first line; the control line's TCP port; the first eight
// data lines (TCP port, serial port); their eight serial ports (name, baud,
// parity, data bits, stop bits, flow); the minimize flag. A server with more
// data lines reads and writes two lines more for each further one, after the
// 19th: its data line, then its port; a server with eight ignores the text
// after the 19th line. Fields are separated by runs
// of blanks, commas, tabs and LFs. The text after the last field a line needs
// is its remark, kept in setupRemarks and written back in the same place.
// Lines end in CR LF on disk; a file with LF endings reads the same.
//
// Parsing and formatting are pure functions over the line table's types; the
// functions that read or write the line table need engineLock held
// (engine/line_table.h). A save never follows or replaces a file it did not
// create itself, other than qmx.txt or the file a qmx.txt link leads to, and
// that file's copy with "~" after its name.
//
// The table remembers the file as it last read or saved it (setupOnDisk): a
// reload (settings_reload.h) applies what changed since, and a save that
// finds the file changed since (someone edited it by hand) first keeps that
// file as qmx.txt~.
#pragma once

#include <string>
#include <string_view>

#include "engine/line_table.h"

namespace qmx {

inline constexpr const char* kSetupFileName = "qmx.txt";

// Reads the text of a settings file (CR LF or LF line ends) onto `settings`:
// lines the text does not have, and fields a line lacks, keep what they held.
void ParseSetupInto(SetupSettings& settings, std::string_view text);
// What the text says, read onto empty settings of a server with `dataLines`
// data lines.
SetupSettings ParseSetupSettings(std::string_view text,
                                 int dataLines = kDefaultDataLines);

// The settings the line table holds now (its texts, port settings, remarks
// and minimize flag).
SetupSettings SetupSettingsOf(LineTable& table) REQUIRES(table.engineLock);

// Fills the line table from the text of a settings file, as ParseSetupInto.
void ParseSetupText(LineTable& table, std::string_view text) REQUIRES(table.engineLock);

// The settings file's text for these settings, or the current line table's,
// with LF line ends. When no first line was ever read, a short heading
// stands in for it so that the file reads back with every line in its place.
std::string BuildSetupText(const SetupSettings& settings);
std::string BuildSetupText(LineTable& table) REQUIRES(table.engineLock);

// LF -> CR LF, the file's own format on disk.
std::string ToDiskLineEnds(std::string_view text);

// Reads qmx.txt in the folder `folderFd` into *settings, and how the file
// looks into *stamp, without any lock: the line table is not touched. Returns
// false when the file cannot be read (missing, unreadable, not a regular
// file); *reason, when given, then says why (the system's error text, or "not
// a regular file"). Only a regular file is read, without ever waiting: a FIFO
// or a device of that name counts as missing. Only the start of the file
// that holds its 19 lines is read, however large the file is.
bool ReadSetupSettings(int folderFd, int dataLines, SetupSettings* settings,
                       SetupFileStamp* stamp, std::string* reason = nullptr);

// True when `now` is a file and not the one `before` describes: it appeared,
// or its bytes differ; a file longer than what the reader takes also counts
// as changed when it was written again or replaced.
bool SetupFileChanged(const SetupFileStamp& before, const SetupFileStamp& now);
// How qmx.txt in the folder `folderFd` looks now.
SetupFileStamp SetupFileStampNow(int folderFd, int dataLines = kDefaultDataLines);

// Reads qmx.txt into the line table, as ReadSetupSettings, and remembers the
// file as read (setupOnDisk). A file that may be read but not written is
// read; WriteSetupFile then fails on it.
bool ReadSetupFile(LineTable& table, std::string* reason = nullptr)
    REQUIRES(table.engineLock);

// Writes the line table to qmx.txt. The new text goes to a fresh file beside
// the file it replaces, is flushed and renamed over it, so a failed write
// never leaves a half-written settings file and nothing new stays behind.
// When qmx.txt is a symbolic link, the link stays and the file it leads to is
// replaced, keeping that file's mode and owner. Returns false, with *reason
// when given, when the file cannot be written (an existing qmx.txt that is
// read-only or not a regular file, or a folder where no file can be made).
//
// When the file was changed on disk since the table last read or saved it,
// that file is first kept beside itself under its name with "~" (qmx.txt~,
// replacing an older one), and the session log says so; when it cannot be
// kept, nothing is written. Without such a change no copy is made. On
// success the table remembers the file as written.
bool WriteSetupFile(LineTable& table, std::string* reason = nullptr)
    REQUIRES(table.engineLock);

}  // namespace qmx
