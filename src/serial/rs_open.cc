// Opening, configuring and closing a port.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/debug_trace.h"
#include "platform/fixed_text.h"
#include "serial/line_settings.h"
#include "serial/rs_port.h"
#include "serial/serial_device.h"
#include "serial/termios_config.h"

namespace qmx {

namespace {

// Leaves the port closed after a failure past the device open.
void AbandonOpen(RsPort& port) {
  port.running.store(0);
  CloseExclusive(port.handle.exchange(-1));
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

SerialPorts::~SerialPorts() {
  for (int n = 0; n < kPortCount; ++n) RsClose(n);
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
  // A name last opened through a working-directory entry means that entry
  // only: while it is missing the open fails with ENOENT and the port waits,
  // rather than taking the machine's own port of the same number.
  const std::string name(FieldText(port.name));
  const bool keepsToEntry = port.openedViaEntry && port.openedName == name;
  const DeviceChoice device =
      keepsToEntry ? DeviceChoice{name, true} : ChooseDevice(folderFd_, name);
  port.devicePath = device.path;
  if (device.viaEntry) {
    // Even a first attempt that finds the entry but not its device (a link
    // to an adapter not yet plugged in) binds the name to the entry.
    port.openedName = name;
    port.openedViaEntry = true;
  }
  const int fd = OpenExclusiveAt(folderFd_, device.path);
  port.openError = fd < 0 ? -fd : 0;
  if (fd < 0) {
    DebugTrace("failed to open com file\n");
    return 0;
  }
  // Driver queue sizes cannot be chosen on Linux; the device keeps its own.
  port.handle.store(fd);
  Purge(fd, PurgeQueue::kBoth);

  if (RsSetupConnection(n) == 0) {
    AbandonOpen(port);
    DebugTrace("failed RsSetupConnection()\n");
    return 0;
  }
  RequestLowLatency(fd);

  // The wake-up descriptor: RsClose signals it to end the receive thread's
  // wait. It is never read, so it stays signalled.
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    AbandonOpen(port);
    return 0;
  }
  {
    MutexLock lock(port.writeMutex);
    port.wakeFd = wakeFd;
  }
  port.stopRequested.store(false);
  port.running.store(1);  // before the thread exists, so its loop runs from the start
  try {
    port.readThread = std::thread(&SerialPorts::RsReadThread, this, n);
  } catch (const std::system_error&) {
    DebugTrace("Error creating READ thread\n");
    {
      MutexLock lock(port.writeMutex);
      port.wakeFd = -1;
    }
    ::close(wakeFd);
    AbandonOpen(port);
    return 0;
  }
  SetDtr(fd, true);
  // Opening a tty raises DTR and RTS; no break is held.
  port.dtrOn.store(true);
  port.rtsOn.store(true);
  port.breakOn.store(false);
  port.openedName = name;
  port.openedViaEntry = device.viaEntry;
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
  std::optional<LineSettings> settings = ParseDefinition(FieldText(port.definition));
  DebugTrace(FieldText(port.definition));
  if (!settings) return 0;
  const FlowControl flow = FlowFromText(FieldText(port.flow));
  const std::string name(FieldText(port.name));
  DebugTracef("%s baud=%d parity=%d data=%d stop=%d\n", name.c_str(), settings->baud,
              static_cast<int>(settings->parity), settings->dataBits,
              StopBitsTraceValue(settings->stopBits));
  return ApplyLineSettings(port.handle.load(), *settings, flow);
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
  const int fd = port.handle.load();
  if (port.breakOn.exchange(false)) (void)SetBreak(fd, false);
  SetDtr(fd, false);
  ::close(port.wakeFd);
  port.wakeFd = -1;
  CloseExclusive(fd);
  port.handle.store(-1);
  DebugTrace("com close OK\n");
}

bool SerialPorts::RsSetDtr(int n, bool on) {
  const int fd = rsPorts[n].handle.load();
  if (fd < 0) return false;
  SetDtr(fd, on);
  rsPorts[n].dtrOn.store(on);
  return true;
}

bool SerialPorts::RsSetRts(int n, bool on) {
  const int fd = rsPorts[n].handle.load();
  if (fd < 0) return false;
  (void)SetRts(fd, on);  // refused where the device has no modem lines
  rsPorts[n].rtsOn.store(on);
  return true;
}

bool SerialPorts::RsSetBreak(int n, bool on) {
  const int fd = rsPorts[n].handle.load();
  if (fd < 0) return false;
  (void)SetBreak(fd, on);  // a pseudo-terminal has no line to hold
  rsPorts[n].breakOn.store(on);
  return true;
}

void SerialPorts::RsPurge(int n, bool input, bool output) {
  const int fd = rsPorts[n].handle.load();
  if (fd < 0 || (!input && !output)) return;
  Purge(fd, input && output ? PurgeQueue::kBoth
            : input         ? PurgeQueue::kInput
                            : PurgeQueue::kOutput);
}

bool SerialPorts::RsModemLines(int n, ModemLines* lines) {
  *lines = ModemLines{};
  const int fd = rsPorts[n].handle.load();
  return fd >= 0 && ReadModemLines(fd, lines);
}

}  // namespace qmx
