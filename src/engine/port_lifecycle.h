// The life of a line and its serial port, in one place: every change to the
// line table's lines (tcpLines, rsPorts, routeTable, comSettings and the line
// texts) goes through these functions. Start-up, the control commands, the
// window and shutdown call them; none of them edits the table directly.
//
// A data line is one of: unused; bridged to its own port (port index n for
// line n + 1, routeTable[n] == n); or a copy line of another port
// (routeTable[n] == m, its serial text "receive <name>").
//
// A port is closed, open (the server holds its device; its record's name is
// set) or awaiting its device (the device was absent or went away: the port
// keeps its settings, holds nothing, and RetryAbsentDevices tries to open it
// again about once a second). The server holds a device exactly while the
// port is open, and only then does its record carry a name.
//
// Threads: everything here runs with engineLock held, on the relay thread
// (commands, device retries) or the window thread (its handlers), and at
// start-up and shutdown. Once MarkServerStopping has been called, nothing here
// opens a port or starts a listener again.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/line_table.h"

namespace qmx {

// What activating a line gave; ActivationResultText turns it into the line's
// status text.
enum class Activation { kNothing, kLineUnused, kOk, kFailed };

// "baud,parity,data,stop".
std::string DefinitionText(std::string_view baud, std::string_view parity,
                           std::string_view dataBits, std::string_view stopBits);

// The configured settings of port k.
PortSettings ConfiguredSettings(LineTable& table, int k) REQUIRES(table.engineLock);

// Index of the configured port (comSettings) with this name, or -1.
int FindConfiguredPort(LineTable& table, std::string_view name)
    REQUIRES(table.engineLock);
// Index of the open port with this name, or -1.
int FindOpenPort(LineTable& table, std::string_view name) REQUIRES(table.engineLock);
PortState PortStateOf(LineTable& table, int k);

// Start-up and the window's OK: switches one line on from its current texts,
// or off. ApplyLineTexts does the window's whole step for one line: off, new
// texts, on, status text.
Activation ActivateLine(LineTable& table, int line) REQUIRES(table.engineLock);
void DeactivateLine(LineTable& table, int line) REQUIRES(table.engineLock);
void ApplyLineTexts(LineTable& table, int line, const std::string& tcpText,
                    const std::string& serialText) REQUIRES(table.engineLock);
void ActivationResultText(Activation result, char (&buffer)[16]);
// Every line in order, each status text set.
void ActivateAllLines(LineTable& table) REQUIRES(table.engineLock);

// `open`: opens port k with `settings` and bridges it to line k + 1.
enum class OpenOutcome { kOpened, kAlreadyOpen, kDeviceFailed, kListenFailed };
OpenOutcome OpenPortLine(LineTable& table, int k, const PortSettings& settings)
    REQUIRES(table.engineLock);

// `receive`: a free data line gets a copy of open port k's input. `line` is
// the line it got.
enum class CopyOutcome { kAdded, kNoFreeLine, kListenFailed };
CopyOutcome AddCopyLine(LineTable& table, int k, std::string_view portName, int* line)
    REQUIRES(table.engineLock);

// `close <name>`: releases the port (or stops waiting for its device) and
// ends the lines that serve it. `close <TCP port>`: ends that line, and its
// port when it is a bridged line.
enum class CloseOutcome { kClosed, kNotOpen, kUnknownPort, kControlLine };
CloseOutcome ClosePortByName(LineTable& table, std::string_view name)
    REQUIRES(table.engineLock);
CloseOutcome CloseLineByTcpPort(LineTable& table, std::string_view text)
    REQUIRES(table.engineLock);

// Remote port control: new line settings for OPEN port k, in force at once
// (same path as `open`, without closing the device). The record takes the
// new texts (the port name stays), the device is set up again, and on success
// the configured settings follow, so `status`, the window and a later `save`
// show them. A device that refuses keeps the previous settings, re-applied;
// false then, and when the port is not open.
bool ChangePortSettings(LineTable& table, int k, const PortSettings& settings)
    REQUIRES(table.engineLock);
// The settings of open port k as its record holds them (empty when closed).
PortSettings OpenPortSettings(LineTable& table, int k) REQUIRES(table.engineLock);

// The window's serial setup: new configured settings for port k.
void ApplyPortSetup(LineTable& table, int k, const PortSettings& settings)
    REQUIRES(table.engineLock);

// A reload's new settings for port k (its name among them). An open port is
// set up again in place (ChangePortSettings: the device stays open, DTR
// stays); a port awaiting its device opens with them when it comes; a closed
// port takes them for its next open. A port held or awaited under another
// name must be reopened instead: kNeedsReopen, and nothing changed.
enum class ReconfigureOutcome { kInPlace, kForNextOpen, kRefused, kNeedsReopen };
ReconfigureOutcome ReconfigurePort(LineTable& table, int k, const ComSetting& settings)
    REQUIRES(table.engineLock);

// A reload's new TCP port for data line L, its device, route and queued bytes
// untouched. ReleaseLineListener stops the line's listener (its client goes);
// MoveLineListener sets the line's TCP port text and listens on it again
// where the line is served (its own port open, or a copy line), else only
// the text changes (kNothing). A failed listen is logged as at start-up.
void ReleaseLineListener(LineTable& table, int L) REQUIRES(table.engineLock);
Activation MoveLineListener(LineTable& table, int L, const std::string& tcpText)
    REQUIRES(table.engineLock);

// After a reload moved ports between slots: copy line L copies the port of
// its name in whichever slot it is open now, keeping its client; when its
// slot holds another port and the one it names is not open, it copies
// nothing (NG) rather than another port's input. True when it changed.
bool FollowCopiedPort(LineTable& table, int L) REQUIRES(table.engineLock);

// Relay thread, about once a second and whenever a device may have gone:
// closes open ports whose device hung up (they then await it) and tries to
// open the ports that await theirs. Takes engineLock itself, and only when
// there is something to do.
void RetryAbsentDevices(LineTable& table, std::chrono::steady_clock::time_point now)
    EXCLUDES(table.engineLock);

// Shutdown: from here on no command or retry changes the table.
void MarkServerStopping(LineTable& table);
bool ServerStopping(LineTable& table);
// Start-up of a new server lifetime in the same process (tests).
void ClearServerStopping(LineTable& table);

// Closes every port and forgets every wait; for shutdown.
void CloseAllPorts(LineTable& table) REQUIRES(table.engineLock);

// The listener of data line L, on its configured TCP port, with its send
// queue; true when the line listens afterwards.
bool EnsureDataListener(LineTable& table, int L) REQUIRES(table.engineLock);
// Opens the listener of line `line` from its socket record: 0 or -2, with the
// socket layer's code (an errno value or TCP_ERROR_*) in *error when given.
int StartTcpServer(LineTable& table, int line, int* error = nullptr)
    REQUIRES(table.engineLock);

}  // namespace qmx
