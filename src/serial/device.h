// SerialDevice: a serial port's device as the server uses it, behind one small
// interface, so that the code that decides when a port opens, what it writes
// and who gets its bytes can be run against a fake device in a test.
//
// A device is open from the moment its opener hands it out until it is
// destroyed; destruction drops DTR, gives up exclusive use and closes it.
// Nothing waits: Read takes what the device holds now, WriteNow writes what it
// takes now, and the owner waits on WaitHandle (readable: input, or the device
// went away; writable: room for output) in its own poll loop.
//
// Threads: a device has one owner, which alone calls it. Opening through a
// DeviceOpener may run on any thread; an opener is safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "serial/line_settings.h"
#include "serial/serial_device.h"

namespace qmx {

// What an open attempt gave.
enum class DeviceOpenStatus {
  kOpen,
  kAbsent,       // no such entry or device, or it does not answer: wait for it
  kBusy,         // another program (or this server) holds it
  kDenied,       // no permission
  kBadSettings,  // the device refused the line settings
  kFailed,       // anything else; `error` says what
};

struct DeviceOpenResult {
  DeviceOpenStatus status = DeviceOpenStatus::kFailed;
  int error = 0;     // the errno behind it, 0 when none
  std::string path;  // the path that was tried
};

// The outcome of one read or write.
struct DeviceIo {
  enum class Kind {
    kDone,        // `count` bytes moved (0 only for an empty request)
    kWouldBlock,  // nothing now; wait on the handle
    kGone,        // the device hung up or failed: it will not come back
  };
  Kind kind = Kind::kDone;
  size_t count = 0;
  int error = 0;  // with kGone, the errno when there was one
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // New line settings, in force at once; false when the device refused them.
  virtual bool Configure(const LineSettings& settings, FlowControl flow) = 0;

  virtual DeviceIo Read(std::span<uint8_t> into) = 0;
  virtual DeviceIo WriteNow(std::span<const uint8_t> bytes) = 0;
  // A descriptor to poll: readable on input or hang-up, writable on room.
  virtual int WaitHandle() const = 0;

  // Modem control and status lines, and the break state. A device without
  // the lines (a pseudo-terminal) accepts and ignores the setters' requests;
  // they return false only when the device refused.
  virtual void SetDtr(bool on) = 0;
  virtual bool SetRts(bool on) = 0;
  virtual bool SetBreak(bool on) = 0;
  virtual bool ReadModemLines(ModemLines* lines) = 0;
  // The driver's line-error counters; false where the device keeps none.
  virtual bool ReadLineCounters(ErrorCounters* counters) = 0;
  // Drops what it holds received (`input`) and not yet sent (`output`).
  virtual void Purge(bool input, bool output) = 0;
};

// Opens devices by path. The server has one; a test gives it a fake.
class DeviceOpener {
 public:
  virtual ~DeviceOpener() = default;
  // The device at `path` (relative to the opener's folder), open for
  // exclusive use with `settings` in force and DTR raised; null with the
  // reason in *result otherwise.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& path,
                                             const LineSettings& settings,
                                             FlowControl flow,
                                             DeviceOpenResult* result) = 0;
};

// The opener of real devices on termios, resolving paths against the
// directory `folderFd` (AT_FDCWD for the working directory).
std::unique_ptr<DeviceOpener> MakeTermiosOpener(int folderFd);

// What an open attempt's status is called in a log entry.
const char* DeviceOpenStatusText(DeviceOpenStatus status);

}  // namespace qmx
