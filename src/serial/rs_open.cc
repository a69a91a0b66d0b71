// Opening, configuring and closing a port.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "serial/device.h"
#include "serial/line_settings.h"
#include "serial/rs_port.h"
#include "serial/serial_device.h"
#include "serial/termios_config.h"

namespace qmx {

namespace {

// The record's line settings, parsed, with the trace of what they are; none
// when the definition is not baud,parity,data,stop.
std::optional<LineSettings> TracedSettings(const RsPort& port) {
  std::optional<LineSettings> settings = ParseDefinition(FieldText(port.definition));
  DebugTrace(FieldText(port.definition));
  if (!settings) return std::nullopt;
  DebugTracef("%s baud=%d parity=%d data=%d stop=%d\n",
              std::string(FieldText(port.name)).c_str(), settings->baud,
              static_cast<int>(settings->parity), settings->dataBits,
              StopBitsTraceValue(settings->stopBits));
  return settings;
}

// The device a name means on its own, and whether it is an entry of the
// server's folder.
struct DeviceChoice {
  std::string path;
  bool viaEntry = false;
};

DeviceChoice ChooseDevice(int folderFd, const std::string& name) {
  struct stat entry;
  if (::fstatat(folderFd, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0)
    return {name, true};  // a link or the device

  // "comN" is the PC's N-th serial port, which Linux numbers from 0.
  constexpr std::string_view kPrefix = "com";
  const std::string_view text(name);
  if (text.size() > kPrefix.size() && text.substr(0, kPrefix.size()) == kPrefix) {
    std::string_view digits = text.substr(kPrefix.size());
    int number = 0;
    const char* end = digits.data() + digits.size();
    auto [next, error] = std::from_chars(digits.data(), end, number);
    if (error == std::errc() && next == end && number >= 1) {
      return {"/dev/ttyS" + std::to_string(number - 1), false};
    }
  }
  return {name, false};
}

}  // namespace

SerialPorts::SerialPorts(int folderFd, DeviceOpener* opener)
    : folderFd_(folderFd),
      ownOpener_(opener == nullptr ? MakeTermiosOpener(folderFd) : nullptr),
      opener_(opener != nullptr ? opener : ownOpener_.get()) {}

SerialPorts::~SerialPorts() {
  for (int n = 0; n < kMaxPortCount; ++n) RsClose(n);
}

std::string RsDevicePath(int folderFd, const char* name) {
  return ChooseDevice(folderFd, name).path;
}

std::string SerialPorts::RsOpenPath(int n) { return rsPorts[n].devicePath; }

std::string RsDeviceProblem(int folderFd, const char* name) {
  const std::string path = ChooseDevice(folderFd, name).path;
  struct stat info;
  if (::fstatat(folderFd, path.c_str(), &info, 0) != 0) {
    // Absent (or a link to nothing): the server waits for it.
    if (errno == ENOENT || errno == ENOTDIR) return "";
    return path + ": " + std::strerror(errno);
  }
  if (!S_ISCHR(info.st_mode)) return path + ": not a serial device";
  if (::faccessat(folderFd, path.c_str(), R_OK | W_OK, 0) != 0)
    return path + ": " + std::strerror(errno);
  return "";
}

void SerialPorts::RsForgetDevice(int n) {
  rsPorts[n].openedName.clear();
  rsPorts[n].openedViaEntry = false;
}

int SerialPorts::RsOpen(int n) {
  RsPort& port = rsPorts[n];
  // A port that is still open here keeps its thread and device untouched.
  if (port.readThread.joinable()) {
    DebugTrace("failed to open com file\n");
    return 0;
  }
  port.deviceGone.store(false);
  // A name last opened through a folder entry means that entry only: while
  // it is missing the open fails with ENOENT and the port waits, rather than
  // taking the machine's own port of the same number.
  const std::string name(FieldText(port.name));
  const bool keepsToEntry = port.openedViaEntry && port.openedName == name;
  const DeviceChoice choice =
      keepsToEntry ? DeviceChoice{name, true} : ChooseDevice(folderFd_, name);
  port.devicePath = choice.path;
  if (choice.viaEntry) {
    // Even a first attempt that finds the entry but not its device (a link
    // to an adapter not yet plugged in) binds the name to the entry.
    port.openedName = name;
    port.openedViaEntry = true;
  }
  port.openError = 0;
  const std::optional<LineSettings> settings = TracedSettings(port);
  if (!settings) {
    DebugTrace("failed RsSetupConnection()\n");
    return 0;
  }
  // Driver queue sizes cannot be chosen on Linux; the device keeps its own.
  DeviceOpenResult result;
  std::unique_ptr<SerialDevice> device =
      opener_->Open(choice.path, *settings, FlowFromText(FieldText(port.flow)), &result);
  if (device == nullptr) {
    if (result.status == DeviceOpenStatus::kBadSettings) {
      DebugTrace("failed RsSetupConnection()\n");
    } else {
      port.openError = result.error != 0                            ? result.error
                       : result.status == DeviceOpenStatus::kAbsent ? ENOENT
                                                                    : EIO;
      DebugTrace("failed to open com file\n");
    }
    return 0;
  }

  // The wake-up descriptor: RsClose signals it to end the receive thread's
  // wait. It is never read, so it stays signalled.
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) return 0;  // the device closes as it goes
  {
    MutexLock lock(port.writeMutex);
    port.wakeFd = wakeFd;
    port.device = std::move(device);
  }
  port.handle.store(port.device->WaitHandle());
  // The line counters count from here: whatever they show now happened
  // before the port held the device.
  port.countersAtOpen = ErrorCounters{};
  port.hasLineCounters = port.device->ReadLineCounters(&port.countersAtOpen);
  if (port.hasLineCounters) port.tally.lineErrorsKnown.store(true);
  port.stopRequested.store(false);
  port.running.store(1);  // before the thread exists, so its loop runs from the start
  try {
    port.readThread = std::thread(&SerialPorts::RsReadThread, this, n);
  } catch (const std::system_error&) {
    DebugTrace("Error creating READ thread\n");
    port.running.store(0);
    port.handle.store(-1);
    {
      MutexLock lock(port.writeMutex);
      port.wakeFd = -1;
      port.device.reset();
    }
    ::close(wakeFd);
    return 0;
  }
  // Opening a tty raises DTR and RTS; no break is held.
  port.dtrOn.store(true);
  port.rtsOn.store(true);
  port.breakOn.store(false);
  port.openedName = name;
  port.openedViaEntry = choice.viaEntry;
  DebugTrace("RsOpen OK\r\n");
  return 1;
}

std::string SerialPorts::RsOpenFailureText(int n) {
  const RsPort& port = rsPorts[n];
  std::string text =
      port.devicePath.empty() ? std::string(FieldText(port.name)) : port.devicePath;
  text += ": ";
  if (port.openError != 0) {
    text += std::strerror(port.openError);
  } else if (!ParseDefinition(FieldText(port.definition))) {
    text += "line settings \"";
    text += FieldText(port.definition);
    text += "\" are not baud,parity,data,stop";
  } else {
    text += "the device refused the line settings";
  }
  return text;
}

int SerialPorts::RsSetupConnection(int n) {
  RsPort& port = rsPorts[n];
  const std::optional<LineSettings> settings = TracedSettings(port);
  if (!settings || port.device == nullptr) return 0;
  return port.device->Configure(*settings, FlowFromText(FieldText(port.flow))) ? 1 : 0;
}

bool SerialPorts::RsDeviceAbsent(int n) {
  switch (rsPorts[n].openError) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
    case ENOTDIR:
      return true;
    default:
      return false;
  }
}

void SerialPorts::RsBindInput(int n, ByteQueue* queue, Event* wake) {
  rsPorts[n].receiveQueue = queue;
  rsPorts[n].receiveWake = wake;
}

void SerialPorts::RsClose(int n) {
  RsPort& port = rsPorts[n];
  port.running.store(0);
  if (!port.readThread.joinable()) return;

  // Release the thread from wherever it waits: its poll, a pause after a
  // hang-up, or a full receive queue.
  port.stopRequested.store(true);
  if (ByteQueue* queue = port.receiveQueue.load()) queue->WakeWaiters();
  const uint64_t one = 1;
  (void)!::write(port.wakeFd, &one, sizeof one);

  MutexLock lock(port.writeMutex);  // no write is under way
  port.readThread.join();
  if (port.breakOn.exchange(false)) (void)port.device->SetBreak(false);
  ::close(port.wakeFd);
  port.wakeFd = -1;
  port.handle.store(-1);
  port.device.reset();  // drops DTR, gives up exclusive use, closes
  DebugTrace("com close OK\n");
}

bool SerialPorts::RsSetDtr(int n, bool on) {
  SerialDevice* device = rsPorts[n].device.get();
  if (device == nullptr) return false;
  device->SetDtr(on);
  rsPorts[n].dtrOn.store(on);
  return true;
}

bool SerialPorts::RsSetRts(int n, bool on) {
  SerialDevice* device = rsPorts[n].device.get();
  if (device == nullptr) return false;
  (void)device->SetRts(on);
  rsPorts[n].rtsOn.store(on);
  return true;
}

bool SerialPorts::RsSetBreak(int n, bool on) {
  SerialDevice* device = rsPorts[n].device.get();
  if (device == nullptr) return false;
  (void)device->SetBreak(on);  // a pseudo-terminal has no line to hold
  rsPorts[n].breakOn.store(on);
  return true;
}

void SerialPorts::RsPurge(int n, bool input, bool output) {
  SerialDevice* device = rsPorts[n].device.get();
  if (device != nullptr && (input || output)) device->Purge(input, output);
}

bool SerialPorts::RsModemLines(int n, ModemLines* lines) {
  *lines = ModemLines{};
  SerialDevice* device = rsPorts[n].device.get();
  return device != nullptr && device->ReadModemLines(lines);
}

}  // namespace qmx
