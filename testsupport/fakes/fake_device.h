// A fake of the serial device seam (serial/device.h), for tests of the code
// that opens ports and moves their bytes, without a pseudo-terminal.
//
// A FakeDeviceOpener stands for a folder of device names. A name is plugged
// or not; a plugged one may be marked busy (another program holds it) or as
// refusing line settings. Each name has one FakeDeviceEnd: the test's side of
// whichever device is open under that name. It feeds input, sets how much
// output the device takes and what its modem lines and counters say, and
// reads back what the server wrote and set.
//
// Opening: a name not plugged gives kAbsent (error ENOENT); a busy one, or
// one whose device is open, kBusy (EWOULDBLOCK); a refusing one kBadSettings
// (EINVAL). A successful open drops input fed before it (the real opener
// purges the device), puts the settings in force and raises DTR and RTS.
// Destroying the device drops DTR, RTS and break and frees the name.
//
// Unplugging a name hangs up its open device: Read and WriteNow give kGone,
// Configure and the setters fail, and its handle turns readable and writable
// for good. The name may then be plugged and opened again while the old
// device still exists, as with an adapter pulled out and put back.
//
// The wait handle is readable exactly while input waits or the device is
// gone, and writable exactly while WriteNow would take a byte or the device
// is gone. A change made on the test's thread shows on it at once, so an
// owner waiting in poll or epoll wakes for it.
//
// Threads: a device has one owner, as any SerialDevice. The opener and the
// ends may be used from any thread, at the same time as the devices.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/mutex.h"
#include "serial/device.h"

namespace qmx::testsupport {

class FakeDevice;
class WaitSignal;

class FakeDeviceEnd {
 public:
  static constexpr size_t kUnlimited = SIZE_MAX;

  FakeDeviceEnd() = default;
  FakeDeviceEnd(const FakeDeviceEnd&) = delete;
  FakeDeviceEnd& operator=(const FakeDeviceEnd&) = delete;

  // Bytes the device received; its Read hands them over in order. False,
  // with the bytes lost, when no device is open under the name.
  bool Feed(std::string_view bytes);
  // Fed and not read yet.
  size_t PendingInput() const;

  // What the server wrote, over all its opens of the name, since the last
  // TakeWritten.
  std::string Written() const;
  std::string TakeWritten();
  // True once Written() holds `size` bytes; false when `limit` passed first.
  bool WaitForWritten(size_t size,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));

  // How many more bytes WriteNow takes before it gives kWouldBlock;
  // kUnlimited (the default) takes everything.
  void SetRoom(size_t bytes);

  // A device of the name is open and not hung up.
  bool IsOpen() const;
  // Successful opens so far.
  int Opens() const;
  // The settings last put in force, by an open or by Configure.
  LineSettings Settings() const;
  FlowControl Flow() const;
  bool Dtr() const;
  bool Rts() const;
  bool Break() const;

  // What ReadModemLines reports; all off at first.
  void SetModemLines(const ModemLines& lines);
  // What ReadLineCounters reports; all zero at first.
  void SetLineCounters(const ErrorCounters& counters);
  // ReadLineCounters gives false from now on, as on a pseudo-terminal.
  void KeepNoCounters();

 private:
  friend class FakeDevice;
  friend class FakeDeviceOpener;

  // The opener's side.
  void SetPlugged(bool plugged);
  void SetBusy(bool busy);
  void SetRefuseSettings(bool refuse);
  // Makes the device with `signal` the open one; its generation goes to
  // *generation.
  DeviceOpenStatus Open(const LineSettings& settings, FlowControl flow,
                        WaitSignal* signal, uint64_t* generation);

  // The device's side; `generation` says which open is calling.
  void Close(uint64_t generation);
  bool Configure(uint64_t generation, const LineSettings& settings, FlowControl flow);
  DeviceIo Read(uint64_t generation, std::span<uint8_t> into);
  DeviceIo Write(uint64_t generation, std::span<const uint8_t> bytes);
  enum class Line { kDtr, kRts, kBreak };
  bool SetLine(uint64_t generation, Line line, bool on);
  bool ReadModemLines(uint64_t generation, ModemLines* lines);
  bool ReadLineCounters(uint64_t generation, ErrorCounters* counters);
  void Purge(uint64_t generation, bool input);

  bool Live(uint64_t generation) const REQUIRES(mutex_) {
    return generation != 0 && generation == live_;
  }
  void UpdateSignal() REQUIRES(mutex_);

  mutable Mutex mutex_;
  CondVar writtenChanged_;
  bool plugged_ GUARDED_BY(mutex_) = false;
  bool busy_ GUARDED_BY(mutex_) = false;
  bool refuseSettings_ GUARDED_BY(mutex_) = false;
  uint64_t generation_ GUARDED_BY(mutex_) = 0;       // of the latest open
  uint64_t live_ GUARDED_BY(mutex_) = 0;             // of the open device, 0 when none
  WaitSignal* signal_ GUARDED_BY(mutex_) = nullptr;  // the open device's
  int opens_ GUARDED_BY(mutex_) = 0;
  std::deque<uint8_t> input_ GUARDED_BY(mutex_);
  std::string written_ GUARDED_BY(mutex_);
  size_t room_ GUARDED_BY(mutex_) = kUnlimited;
  LineSettings settings_ GUARDED_BY(mutex_);
  FlowControl flow_ GUARDED_BY(mutex_) = FlowControl::kNone;
  bool dtr_ GUARDED_BY(mutex_) = false;
  bool rts_ GUARDED_BY(mutex_) = false;
  bool break_ GUARDED_BY(mutex_) = false;
  ModemLines modemLines_ GUARDED_BY(mutex_);
  ErrorCounters counters_ GUARDED_BY(mutex_);
  bool keepsCounters_ GUARDED_BY(mutex_) = true;
};

class FakeDeviceOpener : public DeviceOpener {
 public:
  FakeDeviceOpener() = default;

  void Plug(const std::string& path);
  // Also hangs up the device open under `path`.
  void Unplug(const std::string& path);
  void Busy(const std::string& path, bool busy);
  void RefuseSettings(const std::string& path, bool refuse);
  // The test's end of `path`, plugged or not; the same object every time.
  std::shared_ptr<FakeDeviceEnd> End(const std::string& path);

  std::unique_ptr<SerialDevice> Open(const std::string& path,
                                     const LineSettings& settings, FlowControl flow,
                                     DeviceOpenResult* result) override;

 private:
  Mutex mutex_;
  std::map<std::string, std::shared_ptr<FakeDeviceEnd>> ends_ GUARDED_BY(mutex_);
};

}  // namespace qmx::testsupport
