// The line table: the state of one server through which every part of it
// meets. Line 0 is the control line, lines 1 to 8 the data lines; port
// index n (0 to 7) belongs to data line n + 1.
//
// Lock discipline
// ---------------
// engineLock guards every text and record below that the window thread and
// the relay thread share: tcpPortText, serialPortText, lineStatus,
// comSettings, setupRemarks, startMinimized, setupOnDisk, and the text fields
// of rsPorts and the `port` texts of tcpLines. The relay thread holds it
// around each control command; the window thread around each of its
// handlers; qmxd's main thread around a reload; start-up and shutdown take it
// too.
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

#include <fcntl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/log_ring.h"
#include "net/socket_layer.h"
#include "platform/byte_queue.h"
#include "platform/event.h"
#include "platform/fixed_text.h"
#include "platform/line_counts.h"
#include "platform/mutex.h"
#include "platform/session_log.h"
#include "serial/rs_port.h"

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

// What qmx.txt says, as a plain value (settings_file.h reads and writes it):
// each line's TCP port text and serial port text, each port's settings, the
// remark of each file line (slot 0 the first line itself) and the minimize
// flag.
// A server with more than eight data lines has a pair of file lines for each
// further one after the 19th: its data line, then its port's settings.
inline constexpr int kBaseFileLines = 19;
inline constexpr int kMaxFileLines =
    kBaseFileLines + 2 * (kMaxDataLines - kDefaultDataLines);
constexpr int SetupFileLines(int dataLines) {
  return kBaseFileLines + 2 * (dataLines - kDefaultDataLines);
}
// The file line (0 the first) of data line L's TCP and serial port, and of
// port n's settings.
constexpr int DataLineFileLine(int L) {
  return L <= kDefaultDataLines ? 1 + L
                                : kBaseFileLines + 2 * (L - kDefaultDataLines - 1);
}
constexpr int PortFileLine(int n) {
  return n < kDefaultDataLines ? 10 + n : DataLineFileLine(n + 1) + 1;
}
inline constexpr int kMinimizeFileLine = 18;

struct SetupSettings {
  int dataLines = kDefaultDataLines;  // lines past this many are not in the file
  std::array<std::string, kMaxLineCount> tcpPortText;
  std::array<std::string, kMaxLineCount> serialPortText;  // slot 0 unused
  std::array<ComSetting, kMaxPortCount> comSettings{};
  std::array<std::string, kMaxFileLines> remarks;
  int32_t startMinimized = 0;
};

// How qmx.txt looked when the server last read or wrote it, to tell whether
// someone changed it since: whether it existed, the bytes the reader takes
// (the whole file when it is no longer than that) and, for a longer file,
// which file it was and when it was last written.
struct SetupFileStamp {
  bool exists = false;
  std::string head;
  int64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t modifiedNs = 0;
};

// The settings file as the server last read or saved it. `known` is false
// until the first read or save of this table's life (the server then knows
// nothing of the file, and a save keeps no copy of it).
struct SetupOnDisk {
  bool known = false;
  SetupSettings settings;
  SetupFileStamp stamp;
};

// The state of a port (port_lifecycle.h says what each means).
enum class PortState { kClosed, kOpen, kAwaitingDevice };

// The settings a port is opened with: the configured ones, with whatever an
// `open` command gave instead.
struct PortSettings {
  std::string name;
  std::string baud, parity, dataBits, stopBits;
  std::string definition;  // baud,parity,data,stop
  std::string flow;
};

// One server's line table. The object owns its serial ports and its socket
// layer, declared last so that their threads have ended before the queues
// they fill go away.
class LineTable {
 public:
  // `folderFd` is the server's folder (qmx.txt and device names resolve in
  // it), a directory descriptor the caller keeps open for the table's life;
  // AT_FDCWD for the working directory. Devices and clients come from
  // `opener` and `network` when given (a test's fakes, kept by the caller
  // for the table's life), else from the folder's devices and real sockets.
  // `dataLines` is how many data lines the server has (kDefaultDataLines to
  // kMaxDataLines; the caller checks it).
  explicit LineTable(int folderFd = AT_FDCWD, DeviceOpener* opener = nullptr,
                     Network* network = nullptr, int dataLines = kDefaultDataLines);
  ~LineTable();
  LineTable(const LineTable&) = delete;
  LineTable& operator=(const LineTable&) = delete;

  int FolderFd() const { return folderFd_; }
  // How many data lines the server has, and lines with the control line;
  // data line L and port L - 1 exist for L up to DataLines().
  int DataLines() const { return dataLines_; }
  int LineCount() const { return dataLines_ + 1; }

  // The data lines that speak Telnet with remote port control: bit L-1 for
  // data line L. Set once before the server starts (the mains' option); the
  // relay reads it on every pass. ResetLineTable leaves it alone.
  void SetRfc2217Lines(uint64_t mask) { rfc2217Lines_.store(mask); }
  uint64_t Rfc2217Lines() const { return rfc2217Lines_.load(std::memory_order_relaxed); }
  bool Rfc2217Line(int line) const;

  void SetLineStatus(int line, std::string_view text) REQUIRES(engineLock);
  std::string_view LineStatusText(int line) REQUIRES(engineLock);

  void SizeErrorLog() { errorLog.Size(kLogSize); }
  // Stores `text` in the next error-log slot; then tells the listener, if any
  // (qmxd writes each entry to standard error).
  void AppendErrorLog(const std::string& text);
  void ClearErrorLog() { errorLog.Clear(); }
  std::vector<std::string> ErrorLogListing() const { return errorLog.Listing(); }
  // Set before the server starts and cleared after it stopped.
  void SetErrorLogListener(std::function<void(const std::string&)> listener);

  // Empties every part of the line table (texts, routes, settings, remarks,
  // logs); for tests that run several server lifetimes on one table.
  void ResetLineTable() EXCLUDES(engineLock);
  void ResetLineTableLocked() REQUIRES(engineLock);

  // Taken after the relay's turns and before every queue's and log's lock
  // (the whole order is in platform/mutex.h).
  Mutex engineLock ACQUIRED_BEFORE(ByteQueue::mutex, LogRing::mutex);

  // Guarded by engineLock.
  std::array<std::string, kMaxLineCount> tcpPortText GUARDED_BY(engineLock);
  std::array<std::string, kMaxLineCount> serialPortText
      GUARDED_BY(engineLock);  // slot 0 unused
  char lineStatus[kMaxLineCount][16] GUARDED_BY(engineLock) = {};
  std::array<ComSetting, kMaxPortCount> comSettings GUARDED_BY(engineLock) = {};
  std::array<std::string, kMaxFileLines> setupRemarks GUARDED_BY(engineLock);
  int32_t startMinimized GUARDED_BY(engineLock) = 0;
  // qmx.txt as last read or saved: what a reload compares the file with, and
  // what a save compares it with to keep a hand-edited file.
  SetupOnDisk setupOnDisk GUARDED_BY(engineLock);

  // Written under engineLock, read by the relay on every pass without it.
  std::array<std::atomic<int32_t>, kMaxPortCount> routeTable{};

  // Set whenever the line table changed in a way the window shows; the
  // window's timer reads and clears it.
  std::atomic<int32_t> refreshNeeded{0};

  // Per port, written under engineLock: its state and, while it awaits its
  // device, the settings to open it with and the time of the next attempt.
  // awaitingPorts counts the ports in that state, so the relay need not take
  // the lock to learn there is nothing to retry.
  std::array<std::atomic<PortState>, kMaxPortCount> portState{};
  std::array<PortSettings, kMaxPortCount> awaitedSettings GUARDED_BY(engineLock);
  std::array<std::chrono::steady_clock::time_point, kMaxPortCount> nextAttempt
      GUARDED_BY(engineLock){};
  std::atomic<int> awaitingPorts{0};
  // Set once shutdown began: from then on nothing opens a port or a listener.
  std::atomic<bool> serverStopping{false};
  // Why the last start-up could not read qmx.txt ("" when it could).
  std::string setupFileProblem GUARDED_BY(engineLock);
  // The replies of the command running now (protocol/command_interpreter.h).
  std::vector<std::string>* pendingReplies GUARDED_BY(engineLock) = nullptr;

  // The control line's input: session 0's, then each further session's
  // (ControlQueue).
  ByteQueue cmdQueue;
  std::array<ByteQueue, kMaxControlClients - 1> moreCmdQueues;
  ByteQueue& ControlQueue(int session) {
    return session == 0 ? cmdQueue : moreCmdQueues[static_cast<size_t>(session - 1)];
  }
  ByteQueue txQueue[kMaxPortCount];
  ByteQueue rxQueue[kMaxPortCount];
  Event wakeEvent;

  // Error log: start-up, activation and device failures, refused peers. It
  // has its own lock: any thread may log, with or without engineLock.
  LogRing errorLog;
  // Session log: connects, disconnects, refusals and control commands
  // (platform/session_log.h). Any thread may write to it.
  SessionLog sessionLog;

  // When the server started (set by its Start); the statistics count from
  // here.
  std::atomic<std::chrono::system_clock::time_point> startTime{
      std::chrono::system_clock::now()};

  // A sign of life from the relay thread for a watchdog: `beat` runs on the
  // relay thread at least every `interval` (the relay's waits are cut to
  // it). Set before the server starts; an interval of zero means none.
  struct RelayWatch {
    std::chrono::milliseconds interval{0};
    std::function<void()> beat;
  };
  RelayWatch relayWatch;

  SerialPorts serial;
  SocketLayer net;

 private:
  const int folderFd_;
  const int dataLines_;
  std::atomic<uint64_t> rfc2217Lines_{0};
  Mutex listenerMutex_ ACQUIRED_AFTER(LogRing::mutex);
  std::function<void(const std::string&)> errorLogListener_ GUARDED_BY(listenerMutex_);
};

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

}  // namespace qmx
