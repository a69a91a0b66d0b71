// The real device behind SerialDevice: a tty opened for exclusive use, its
// line settings set through termios2 (termios_config.h).
#include <fcntl.h>

#include <cerrno>
#include <memory>

#include "serial/device.h"
#include "serial/termios_config.h"

namespace qmx {
namespace {

bool AbsentError(int error) {
  return error == ENOENT || error == ENXIO || error == ENODEV || error == EIO ||
         error == ENOTDIR;
}

DeviceIo FromSyscall(long n) {
  if (n >= 0) return {DeviceIo::Kind::kDone, static_cast<size_t>(n), 0};
  const int error = static_cast<int>(-n);
  if (error == EAGAIN || error == EWOULDBLOCK) return {DeviceIo::Kind::kWouldBlock, 0, 0};
  return {DeviceIo::Kind::kGone, 0, error};
}

class TermiosDevice : public SerialDevice {
 public:
  // A tty driver without modem control (a pseudo-terminal) refuses TIOCMGET
  // as it refuses the setters; asked once here, so that SetRts can tell "no
  // such line" (accepted, no effect) from a real refusal.
  explicit TermiosDevice(int fd) : fd_(fd) {
    ModemLines lines;
    hasModemLines_ = qmx::ReadModemLines(fd_, &lines);
  }
  ~TermiosDevice() override {
    qmx::SetDtr(fd_, false);
    CloseExclusive(fd_);
  }
  TermiosDevice(const TermiosDevice&) = delete;
  TermiosDevice& operator=(const TermiosDevice&) = delete;

  bool Configure(const LineSettings& settings, FlowControl flow) override {
    return ApplyLineSettings(fd_, settings, flow) != 0;
  }
  DeviceIo Read(std::span<uint8_t> into) override {
    if (into.empty()) return {};
    const long n = ReadSome(fd_, into.data(), into.size());
    // VMIN is 1 (termios_config.cc), so an empty queue gives EAGAIN and only
    // a tty that hung up reads as end of file: the device is gone.
    if (n == 0) return {DeviceIo::Kind::kGone, 0, 0};
    return FromSyscall(n);
  }
  DeviceIo WriteNow(std::span<const uint8_t> bytes) override {
    if (bytes.empty()) return {};
    return FromSyscall(WriteSome(fd_, bytes.data(), bytes.size()));
  }
  int WaitHandle() const override { return fd_; }
  void SetDtr(bool on) override { qmx::SetDtr(fd_, on); }
  bool SetRts(bool on) override { return qmx::SetRts(fd_, on) || !hasModemLines_; }
  bool SetBreak(bool on) override { return qmx::SetBreak(fd_, on); }
  bool ReadModemLines(ModemLines* lines) override {
    return qmx::ReadModemLines(fd_, lines);
  }
  bool ReadLineCounters(ErrorCounters* counters) override {
    return ReadErrorCounters(fd_, counters);
  }
  void Purge(bool input, bool output) override {
    if (input && output) {
      qmx::Purge(fd_, PurgeQueue::kBoth);
    } else if (input) {
      qmx::Purge(fd_, PurgeQueue::kInput);
    } else if (output) {
      qmx::Purge(fd_, PurgeQueue::kOutput);
    }
  }

 private:
  int fd_;
  bool hasModemLines_ = false;
};

class TermiosOpener : public DeviceOpener {
 public:
  explicit TermiosOpener(int folderFd) : folderFd_(folderFd) {}

  std::unique_ptr<SerialDevice> Open(const std::string& path,
                                     const LineSettings& settings, FlowControl flow,
                                     DeviceOpenResult* result) override {
    *result = DeviceOpenResult{};
    result->path = path;
    const int fd = OpenExclusiveAt(folderFd_, path);
    if (fd < 0) {
      result->error = -fd;
      result->status = AbsentError(-fd)                       ? DeviceOpenStatus::kAbsent
                       : (-fd == EWOULDBLOCK || -fd == EBUSY) ? DeviceOpenStatus::kBusy
                       : (-fd == EACCES || -fd == EPERM)      ? DeviceOpenStatus::kDenied
                                                              : DeviceOpenStatus::kFailed;
      return nullptr;
    }
    qmx::Purge(fd, PurgeQueue::kBoth);
    auto device = std::make_unique<TermiosDevice>(fd);
    if (!device->Configure(settings, flow)) {
      result->error = errno;
      result->status = DeviceOpenStatus::kBadSettings;
      return nullptr;  // the destructor closes it
    }
    RequestLowLatency(fd);
    device->SetDtr(true);
    result->status = DeviceOpenStatus::kOpen;
    return device;
  }

 private:
  int folderFd_;
};

}  // namespace

std::unique_ptr<DeviceOpener> MakeTermiosOpener(int folderFd) {
  return std::make_unique<TermiosOpener>(folderFd);
}

const char* DeviceOpenStatusText(DeviceOpenStatus status) {
  switch (status) {
    case DeviceOpenStatus::kOpen:
      return "open";
    case DeviceOpenStatus::kAbsent:
      return "absent";
    case DeviceOpenStatus::kBusy:
      return "in use";
    case DeviceOpenStatus::kDenied:
      return "access denied";
    case DeviceOpenStatus::kBadSettings:
      return "line settings refused";
    case DeviceOpenStatus::kFailed:
      return "failed";
  }
  return "failed";
}

}  // namespace qmx
