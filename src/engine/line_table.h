// The line table: the process-wide state through which every part of the
// server meets. Line 0 is the control line, lines 1 to 8 the data lines; port
// index n (0 to 7) belongs to data line n + 1.
//
// Lock discipline
// ---------------
// engineLock guards every text and record below that the window thread and
// the relay thread share: tcpPortText, serialPortText, lineStatus,
// comSettings, setupRemarks, startMinimized, and the text fields of rsPorts and the
// `port` texts of tcpLines. The relay thread holds it around each control command; the
// window thread around each of its handlers; start-up and shutdown take it too.
//
// Holding engineLock, a thread may open and close ports and listeners (which
// wait a bounded time: RsClose interrupts a pending serial write, TcpDisconnect
// wakes the line's threads), but it never sends to a client and never writes
// to a serial port: control replies made while a command runs are queued and
// sent by the relay thread after it has released the lock, so a silent or slow
// client costs the relay thread, never the window.
//
// The remote-control line mask is a plain atomic: set before the server
// starts, read by the relay thread on every pass without the lock.
//
// routeTable is read by the relay thread on every pass without the lock; its
// slots are atomics written under the lock. refreshNeeded is an atomic flag. The queues
// and wakeEvent carry their own synchronisation and are the only things the receive
// threads touch.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/log_ring.h"
#include "platform/byte_queue.h"
#include "platform/event.h"
#include "platform/fixed_text.h"
#include "platform/line_counts.h"
#include "platform/mutex.h"

namespace qmx {

// Each receive queue holds one relay chunk (kRelayChunk, where the figures
// that chose 65536 are): 17 queues, about 1.1 MB when all are busy.
inline constexpr int32_t kQueueCapacity = 65536;
inline constexpr const char* kUnused = "unused";

// Configured settings of one serial port (not necessarily open).
struct ComSetting {
  char name[32];
  char definition[128];  // baud,parity,data,stop
  char baud[16];
  char parity[16];
  char dataBits[16];
  char stopBits[16];
  char flow[8];
};

// Copies the texts that a port's configured settings (ComSetting) and its
// open record (RsPort) share: name, baud, parity, data bits, flow and
// definition, each cut at its field's width. The stop bits are not copied;
// the definition carries them.
template <class To, class From>
void CopyPortSettings(To& to, const From& from) {
  CopyField(to.name, FieldText(from.name));
  CopyField(to.baud, FieldText(from.baud));
  CopyField(to.parity, FieldText(from.parity));
  CopyField(to.dataBits, FieldText(from.dataBits));
  CopyField(to.flow, FieldText(from.flow));
  CopyField(to.definition, FieldText(from.definition));
}

// Taken after the relay's turns and before every queue's and log's lock (the
// whole order is in platform/mutex.h).
extern Mutex engineLock ACQUIRED_BEFORE(ByteQueue::mutex, LogRing::mutex);

// State below is guarded by engineLock.
extern std::array<std::string, kLineCount> tcpPortText GUARDED_BY(engineLock);
extern std::array<std::string, kLineCount> serialPortText
    GUARDED_BY(engineLock);  // slot 0 unused
extern char lineStatus[kLineCount][16] GUARDED_BY(engineLock);
extern std::array<ComSetting, kPortCount> comSettings GUARDED_BY(engineLock);
extern std::array<std::string, 19> setupRemarks GUARDED_BY(engineLock);
extern int32_t startMinimized GUARDED_BY(engineLock);

// Written under engineLock, read by the relay on every pass without it.
extern std::array<std::atomic<int32_t>, kPortCount> routeTable;

// Set whenever the line table changed in a way the window shows; the window's
// timer reads and clears it.
extern std::atomic<int32_t> refreshNeeded;

extern ByteQueue cmdQueue;
extern ByteQueue txQueue[kPortCount];
extern ByteQueue rxQueue[kPortCount];
extern Event wakeEvent;

// Error log: start-up, activation and device failures, refused peers. It has
// its own lock: any thread may log, with or without engineLock.
extern LogRing errorLog;

void SizeErrorLog();
// Stores `text` in the next error-log slot; then tells the listener, if any
// (qmxd writes each entry to standard error).
void AppendErrorLog(const std::string& text);
void ClearErrorLog();
std::vector<std::string> ErrorLogListing();
// Set before the server starts and cleared after it stopped.
void SetErrorLogListener(std::function<void(const std::string&)> listener);

// "%1" replaced by one argument, as the string-table messages are formatted.
std::string FormatMessage1(std::string_view message, std::string_view argument);

// An error-log entry with why it happened appended: "TCP port 8001 open
// failure: Address already in use". The entry's own text stays as it is, so a
// reader matching it still finds it.
std::string WithReason(std::string_view entry, std::string_view reason);

// Error-log messages.
inline constexpr const char* kMsgCannotOpen = "QMX\u3000Cann't open %1";       // 32780
inline constexpr const char* kMsgTcpPortFailure = "TCP port %1 open failure";  // 32781
inline constexpr const char* kMsgPortFailure = "%1 open failure";              // 32784

// The data lines that speak Telnet with remote port control: bit L-1 for
// data line L. Set once before the server starts (the mains' option); the
// relay reads it on every pass. ResetLineTable leaves it alone.
void SetRfc2217Lines(uint32_t mask);
uint32_t Rfc2217Lines();
bool Rfc2217Line(int line);

void SetLineStatus(int line, std::string_view text) REQUIRES(engineLock);
std::string_view LineStatusText(int line) REQUIRES(engineLock);

// Empties every part of the line table (texts, routes, settings, remarks,
// logs); for tests that run several server lifetimes in one process.
void ResetLineTable() EXCLUDES(engineLock);
void ResetLineTableLocked() REQUIRES(engineLock);

}  // namespace qmx
