// Thin wrappers over the Linux serial-device calls the driver needs, so that
// the driver code reads as its steps and not as ioctl numbers. errno becomes a
// result here, once: functions that can fail return -errno (or false), and
// EINTR is retried inside. Each function works on a descriptor the caller
// owns; none keeps state, so any thread may call them.
//
// Only this wrapper (and termios_config.cc) issues ioctls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmx {

// Opens `path` for exclusive use: O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
// then an exclusive non-blocking flock (fails when another process, or another
// open in this one, holds the device) and TIOCEXCL. Returns the descriptor, or
// -errno. A relative `path` is taken from the directory `folderFd`.
int OpenExclusiveAt(int folderFd, const std::string& path);

// Lifts TIOCEXCL (the flag belongs to the tty, not to this descriptor, and
// would otherwise outlive the close while anyone else keeps the device open)
// and closes the descriptor.
void CloseExclusive(int fd);

enum class PurgeQueue { kInput, kOutput, kBoth };
void Purge(int fd, PurgeQueue which);

// Asks the driver to hand received bytes over at once (ASYNC_LOW_LATENCY);
// devices without the setting (a pseudo-terminal) refuse, which is ignored.
void RequestLowLatency(int fd);

// Raises or drops DTR; a device without modem lines ignores it.
void SetDtr(int fd, bool on);

// Raises or drops RTS; false when the device refused (it has no modem lines).
bool SetRts(int fd, bool on);

// Holds the line in the break state (TIOCSBRK) or ends it (TIOCCBRK); false
// when the device refused.
bool SetBreak(int fd, bool on);

// The modem status lines (TIOCMGET); false, all off, where the device has
// none (a pseudo-terminal).
struct ModemLines {
  bool cd = false;
  bool ri = false;
  bool dsr = false;
  bool cts = false;
};
bool ReadModemLines(int fd, ModemLines* lines);

// The device's error counters (TIOCGICOUNT).
struct ErrorCounters {
  int frame = 0;
  int overrun = 0;
  int parity = 0;
  int brk = 0;
  int bufferOverrun = 0;
};

// False where the device keeps no counters (a pseudo-terminal).
bool ReadErrorCounters(int fd, ErrorCounters* counters);

// The CE_ flags of the error word for the counters that moved between two
// readings.
uint32_t ErrorFlagsBetween(const ErrorCounters& before, const ErrorCounters& after);

// read() and write() with EINTR retried: bytes moved, or -errno.
long ReadSome(int fd, uint8_t* buffer, size_t size);
long WriteSome(int fd, const uint8_t* data, size_t size);

}  // namespace qmx
