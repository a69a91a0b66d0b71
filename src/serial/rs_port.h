// Serial port driver: the eight serial ports of one server (SerialPorts),
// addressed by port index 0 to 7, on termios.
//
// RsOpen opens the device named in rsPorts[n].name for exclusive use,
// applies the definition text "baud,parity,data,stop" and the flow letter,
// starts the port's receive thread and raises DTR. The receive thread pushes
// everything the device sends into the port's bound receive queue and signals
// the bound event. RsWriteNow writes what the device takes at once. RsClose
// stops the thread, drops DTR and closes the device.
//
// Which device a name means: the entry of that name in the server's folder
// (a link "com1" to /dev/ttyUSB0, say) when there is one; else, for "comN",
// the machine's own port /dev/ttyS(N-1); else the name itself. A port keeps
// to the kind of device it first found: once its name was opened (or tried)
// through a folder entry, RsOpen for that name opens the entry only and never
// falls back to /dev/ttyS(N-1). While the entry is missing (a pulled adapter's link
// removed) the open fails as "device absent" (ENOENT), so the owner keeps waiting for
// that device instead of taking another one under the same name. The memory belongs to
// the name: a port given a different name resolves afresh, and RsForgetDevice drops it
// when the port is closed on purpose. RsClose keeps it, so reopening after the device was
// lost waits for the same device.
//
// Threads: RsOpen and RsClose run on the window or the relay thread, with
// the engine's lock held; RsWriteNow runs on the relay thread (or a receive
// thread's shortcut) without it. RsClose and RsWriteNow of the same port
// exclude each other (writeMutex), so a descriptor is never written after it
// was closed. The text fields of a record (devicePath and the memory of how
// its name was opened among them) are guarded by engineLock; handle, running
// and rsError are atomics. RsOpenPath and RsForgetDevice are called with
// engineLock held.
#pragma once

#include <fcntl.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "platform/byte_queue.h"
#include "platform/event.h"
#include "platform/line_counts.h"
#include "platform/mutex.h"
#include "serial/device.h"
#include "serial/serial_device.h"

namespace qmx {

// Receive error word bits (rsError).
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;
inline constexpr uint32_t kRsWaitError = 0x10000;  // the wait for a port event failed
inline constexpr uint32_t kRsReadError = 0x20000;  // a read from the device failed

// How long the relay keeps writing one chunk to a port that takes it only
// slowly (or not at all) before it gives the rest up (relay/line_output.h).
inline constexpr uint32_t kRsWriteLimitMs = 20000;

// What a port has done since the server started, counted by the threads that
// move its bytes (relaxed adds, once per read or write) and by its owner.
struct PortTally {
  std::atomic<uint64_t> bytesWritten{0};  // what the device took
  std::atomic<uint64_t> bytesRead{0};     // what it sent
  std::atomic<uint64_t> deviceLosses{0};
  std::atomic<uint64_t> deviceReturns{0};
  // The device's own line counters (TIOCGICOUNT), as far as they moved while
  // the port held it; lineErrorsKnown is set once a device that keeps them
  // was opened, and stays set.
  std::atomic<bool> lineErrorsKnown{false};
  std::atomic<uint64_t> frame{0};
  std::atomic<uint64_t> parity{0};
  std::atomic<uint64_t> overrun{0};
  std::atomic<uint64_t> brk{0};
  std::atomic<uint64_t> bufferOverrun{0};
};

struct RsPort {
  char name[32] = {};
  char definition[64] = {};
  char baud[16] = {};
  char parity[16] = {};
  char dataBits[16] = {};
  char stopBits[16] = {};
  char flow[40] = {};
  // The open device (null when closed), from the ports' DeviceOpener. Made
  // and dropped by RsOpen and RsClose (engineLock held; RsClose also holds
  // writeMutex), read by the receive thread, written by RsWriteNow under
  // writeMutex.
  std::unique_ptr<SerialDevice> device;
  std::atomic<int> handle{-1};  // the device's wait handle, -1 when closed
  // Why the last RsOpen failed to open the device (an errno value), 0 when it
  // got that far.
  int openError = 0;
  // The path the last RsOpen tried to open; empty before the first attempt.
  std::string devicePath;
  // The name of the port's last successful open and whether that open went
  // through a working-directory entry; while `name` is still that name, the
  // entry is the only device RsOpen opens. Cleared by RsForgetDevice.
  std::string openedName;
  bool openedViaEntry = false;
  // Set by the receive thread when the device hung up or reads from it fail
  // (an adapter pulled): the port's owner closes it and waits for it to come
  // back. Cleared by RsOpen.
  std::atomic<bool> deviceGone{false};
  std::atomic<int32_t> running{0};  // 1 while the receive thread is to run
  std::thread readThread;           // not joinable when there is none
  // Where the receive thread puts the device's bytes and whom it wakes;
  // bound once by RsBindInput. Unbound, received bytes are dropped.
  std::atomic<ByteQueue*> receiveQueue{nullptr};
  std::atomic<Event*> receiveWake{nullptr};

  // Driver internals.
  std::atomic<bool> stopRequested{false};  // the receive thread's stop flag
  // eventfd that RsClose signals to end the receive thread's wait. Written by
  // RsOpen and RsClose with writeMutex held; the receive thread reads it once
  // at its start, and RsClose before it takes writeMutex. Those two reads are
  // ordered by the open and close themselves, not by the mutex, so it is not
  // marked GUARDED_BY.
  int wakeFd = -1;
  // Held by RsWriteNow and RsClose: no write uses the device while it is
  // closed. The relay writes from a queue's memory under the queue's lock,
  // so this comes after it (the whole order is in platform/mutex.h).
  Mutex writeMutex ACQUIRED_AFTER(ByteQueue::mutex);

  // What remote port control last asked of the modem control lines and the
  // break state. A device without those lines (a pseudo-terminal) ignores
  // the request, so the answer to a client reflects what it asked for. Set
  // by RsOpen (DTR and RTS raised, no break) and the RsSet* functions.
  std::atomic<bool> dtrOn{false};
  std::atomic<bool> rtsOn{false};
  std::atomic<bool> breakOn{false};

  PortTally tally;
  // The device's line counters when RsOpen opened it, and whether it keeps
  // any; written by RsOpen before the receive thread starts, then read by
  // that thread alone.
  ErrorCounters countersAtOpen;
  bool hasLineCounters = false;
};

// The serial ports of one server: their records, and the folder their names
// are resolved in (a directory descriptor, which the caller keeps open for
// the object's life; AT_FDCWD for the working directory).
class SerialPorts {
 public:
  // Devices come from `opener` when given (a test's fake, which the caller
  // keeps for the object's life), else from termios devices in the folder.
  explicit SerialPorts(int folderFd = AT_FDCWD, DeviceOpener* opener = nullptr);
  ~SerialPorts();
  SerialPorts(const SerialPorts&) = delete;
  SerialPorts& operator=(const SerialPorts&) = delete;

  int FolderFd() const { return folderFd_; }

  // Names the queue that port n's receive thread fills and the event it sets.
  void RsBindInput(int n, ByteQueue* queue, Event* wake);

  int RsOpen(int n);
  // True when RsOpen's device open failed because the device is not there: no
  // such name, no such device, or the device does not answer. A port that keeps
  // to a working-directory entry which is gone fails this way (ENOENT).
  bool RsDeviceAbsent(int n);
  // The path port n's last RsOpen tried to open (the entry's name, or the
  // /dev/ttyS path a "comN" name fell back to); empty before any attempt.
  std::string RsOpenPath(int n);
  // Forgets that port n's name was opened through a folder entry, so
  // that its next RsOpen resolves the name afresh. For a port closed on
  // purpose; a port whose device was lost keeps the memory while it waits.
  void RsForgetDevice(int n);
  // Why port n's last RsOpen failed, for a log entry: the path it tried and the
  // system's error text ("/dev/ttyS0: No such file or directory"), or what was
  // wrong with the line settings. Call before the record's texts are cleared.
  std::string RsOpenFailureText(int n);
  int RsSetupConnection(int n);
  void RsReadThread(int n);
  // Writes what the device takes now, without waiting. Returns the number of
  // bytes written (0 when the device takes nothing at the moment), or -1 when
  // the port is not open or the write failed. The relay thread writes with it
  // so that it never stands still in a write while the same port's input waits
  // for it to be relayed.
  int RsWriteNow(int n, const uint8_t* data, int count);
  // The descriptor the relay thread waits on for room after RsWriteNow took
  // less than it was given; -1 when the port is not open. Only for poll: it
  // may be closed (and the number reused) once the port closes, which costs a
  // spurious wake-up at worst.
  int RsWaitHandle(int n);

  void RsClose(int n);

  // Remote port control of an open port, on the relay thread with engineLock
  // held. Each setter applies the state where the device has the line and
  // remembers it either way; it returns false only when the port is not open.
  bool RsSetDtr(int n, bool on);
  bool RsSetRts(int n, bool on);
  bool RsSetBreak(int n, bool on);
  // Discards what the device holds received (`input`) and what it has not yet
  // sent (`output`).
  void RsPurge(int n, bool input, bool output);

  // The modem status lines of an open port: false (all lines off) when the
  // port is not open or the device has no modem lines (a pseudo-terminal).
  bool RsModemLines(int n, ModemLines* lines);

  RsPort rsPorts[kMaxPortCount];
  std::array<std::atomic<uint32_t>, kMaxPortCount> rsError{};

 private:
  const int folderFd_;
  std::unique_ptr<DeviceOpener> ownOpener_;
  DeviceOpener* const opener_;
};

// What would keep the device `name` means (as RsOpen resolves a name not
// opened before) from being opened, without opening it: "" when it looks
// usable or is simply absent (a server waits for it), else the path and the
// reason ("com1: not a serial device", "/dev/ttyS0: Permission denied").
std::string RsDeviceProblem(int folderFd, const char* name);
// The path a name means on its own: the name itself when the folder `folderFd`
// has an entry of that name, else /dev/ttyS(N-1) for "comN", else
// the name itself. RsOpen uses it unless the port keeps to an entry (see
// above).
std::string RsDevicePath(int folderFd, const char* name);

}  // namespace qmx
