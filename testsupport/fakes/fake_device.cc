#include "testsupport/fakes/fake_device.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "testsupport/fakes/wait_signal.h"

namespace qmx::testsupport {

// One open of a name: every call goes to the name's end, which knows whether
// this open is still the live one.
class FakeDevice : public SerialDevice {
 public:
  FakeDevice(std::shared_ptr<FakeDeviceEnd> end, std::unique_ptr<WaitSignal> signal,
             uint64_t generation)
      : end_(std::move(end)), signal_(std::move(signal)), generation_(generation) {}
  ~FakeDevice() override { end_->Close(generation_); }
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  bool Configure(const LineSettings& settings, FlowControl flow) override {
    return end_->Configure(generation_, settings, flow);
  }
  DeviceIo Read(std::span<uint8_t> into) override {
    return end_->Read(generation_, into);
  }
  DeviceIo WriteNow(std::span<const uint8_t> bytes) override {
    return end_->Write(generation_, bytes);
  }
  int WaitHandle() const override { return signal_->handle(); }
  void SetDtr(bool on) override {
    (void)end_->SetLine(generation_, FakeDeviceEnd::Line::kDtr, on);
  }
  bool SetRts(bool on) override {
    return end_->SetLine(generation_, FakeDeviceEnd::Line::kRts, on);
  }
  bool SetBreak(bool on) override {
    return end_->SetLine(generation_, FakeDeviceEnd::Line::kBreak, on);
  }
  bool ReadModemLines(ModemLines* lines) override {
    return end_->ReadModemLines(generation_, lines);
  }
  bool ReadLineCounters(ErrorCounters* counters) override {
    return end_->ReadLineCounters(generation_, counters);
  }
  void Purge(bool input, bool /*output*/) override {
    // Written bytes leave at once, so there is never output to drop.
    if (input) end_->Purge(generation_, true);
  }

 private:
  std::shared_ptr<FakeDeviceEnd> end_;
  std::unique_ptr<WaitSignal> signal_;
  uint64_t generation_;
};

bool FakeDeviceEnd::Feed(std::string_view bytes) {
  MutexLock lock(mutex_);
  if (live_ == 0) return false;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  UpdateSignal();
  return true;
}

size_t FakeDeviceEnd::PendingInput() const {
  MutexLock lock(mutex_);
  return input_.size();
}

std::string FakeDeviceEnd::Written() const {
  MutexLock lock(mutex_);
  return written_;
}

std::string FakeDeviceEnd::TakeWritten() {
  MutexLock lock(mutex_);
  return std::exchange(written_, {});
}

bool FakeDeviceEnd::WaitForWritten(size_t size, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(mutex_);
  while (written_.size() < size) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return false;
    (void)writtenChanged_.WaitFor(mutex_, left);
  }
  return true;
}

void FakeDeviceEnd::SetRoom(size_t bytes) {
  MutexLock lock(mutex_);
  room_ = bytes;
  UpdateSignal();
}

bool FakeDeviceEnd::IsOpen() const {
  MutexLock lock(mutex_);
  return live_ != 0;
}

int FakeDeviceEnd::Opens() const {
  MutexLock lock(mutex_);
  return opens_;
}

LineSettings FakeDeviceEnd::Settings() const {
  MutexLock lock(mutex_);
  return settings_;
}

FlowControl FakeDeviceEnd::Flow() const {
  MutexLock lock(mutex_);
  return flow_;
}

bool FakeDeviceEnd::Dtr() const {
  MutexLock lock(mutex_);
  return dtr_;
}

bool FakeDeviceEnd::Rts() const {
  MutexLock lock(mutex_);
  return rts_;
}

bool FakeDeviceEnd::Break() const {
  MutexLock lock(mutex_);
  return break_;
}

void FakeDeviceEnd::SetModemLines(const ModemLines& lines) {
  MutexLock lock(mutex_);
  modemLines_ = lines;
}

void FakeDeviceEnd::SetLineCounters(const ErrorCounters& counters) {
  MutexLock lock(mutex_);
  counters_ = counters;
  keepsCounters_ = true;
}

void FakeDeviceEnd::KeepNoCounters() {
  MutexLock lock(mutex_);
  keepsCounters_ = false;
}

void FakeDeviceEnd::SetPlugged(bool plugged) {
  MutexLock lock(mutex_);
  plugged_ = plugged;
  if (plugged || live_ == 0) return;
  // Hung up: the handle says so for good, and no later change reaches it.
  signal_->Set(true, true);
  signal_ = nullptr;
  live_ = 0;
  input_.clear();
}

void FakeDeviceEnd::SetBusy(bool busy) {
  MutexLock lock(mutex_);
  busy_ = busy;
}

void FakeDeviceEnd::SetRefuseSettings(bool refuse) {
  MutexLock lock(mutex_);
  refuseSettings_ = refuse;
}

DeviceOpenStatus FakeDeviceEnd::Open(const LineSettings& settings, FlowControl flow,
                                     WaitSignal* signal, uint64_t* generation) {
  MutexLock lock(mutex_);
  if (!plugged_) return DeviceOpenStatus::kAbsent;
  if (busy_ || live_ != 0) return DeviceOpenStatus::kBusy;
  if (refuseSettings_) return DeviceOpenStatus::kBadSettings;
  live_ = *generation = ++generation_;
  signal_ = signal;
  ++opens_;
  input_.clear();
  settings_ = settings;
  flow_ = flow;
  dtr_ = rts_ = true;
  break_ = false;
  UpdateSignal();
  return DeviceOpenStatus::kOpen;
}

void FakeDeviceEnd::Close(uint64_t generation) {
  MutexLock lock(mutex_);
  if (!Live(generation)) return;  // hung up before: nothing left to free
  live_ = 0;
  signal_ = nullptr;
  input_.clear();
  dtr_ = rts_ = break_ = false;
}

bool FakeDeviceEnd::Configure(uint64_t generation, const LineSettings& settings,
                              FlowControl flow) {
  MutexLock lock(mutex_);
  if (!Live(generation) || refuseSettings_) return false;
  settings_ = settings;
  flow_ = flow;
  return true;
}

DeviceIo FakeDeviceEnd::Read(uint64_t generation, std::span<uint8_t> into) {
  MutexLock lock(mutex_);
  if (!Live(generation)) return {DeviceIo::Kind::kGone, 0, EIO};
  if (into.empty()) return {};
  if (input_.empty()) return {DeviceIo::Kind::kWouldBlock, 0, 0};
  const size_t n = std::min(into.size(), input_.size());
  std::copy_n(input_.begin(), n, into.begin());
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  UpdateSignal();
  return {DeviceIo::Kind::kDone, n, 0};
}

DeviceIo FakeDeviceEnd::Write(uint64_t generation, std::span<const uint8_t> bytes) {
  MutexLock lock(mutex_);
  if (!Live(generation)) return {DeviceIo::Kind::kGone, 0, EIO};
  if (bytes.empty()) return {};
  const size_t n = std::min(bytes.size(), room_);
  if (n == 0) return {DeviceIo::Kind::kWouldBlock, 0, 0};
  if (room_ != kUnlimited) room_ -= n;
  written_.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  UpdateSignal();
  writtenChanged_.SignalAll();
  return {DeviceIo::Kind::kDone, n, 0};
}

bool FakeDeviceEnd::SetLine(uint64_t generation, Line line, bool on) {
  MutexLock lock(mutex_);
  if (!Live(generation)) return false;
  (line == Line::kDtr ? dtr_ : line == Line::kRts ? rts_ : break_) = on;
  return true;
}

bool FakeDeviceEnd::ReadModemLines(uint64_t generation, ModemLines* lines) {
  MutexLock lock(mutex_);
  *lines = Live(generation) ? modemLines_ : ModemLines{};
  return Live(generation);
}

bool FakeDeviceEnd::ReadLineCounters(uint64_t generation, ErrorCounters* counters) {
  MutexLock lock(mutex_);
  if (!Live(generation) || !keepsCounters_) return false;
  *counters = counters_;
  return true;
}

void FakeDeviceEnd::Purge(uint64_t generation, bool input) {
  MutexLock lock(mutex_);
  if (!Live(generation) || !input) return;
  input_.clear();
  UpdateSignal();
}

void FakeDeviceEnd::UpdateSignal() {
  if (signal_ != nullptr) signal_->Set(!input_.empty(), room_ > 0);
}

void FakeDeviceOpener::Plug(const std::string& path) { End(path)->SetPlugged(true); }

void FakeDeviceOpener::Unplug(const std::string& path) { End(path)->SetPlugged(false); }

void FakeDeviceOpener::Busy(const std::string& path, bool busy) {
  End(path)->SetBusy(busy);
}

void FakeDeviceOpener::RefuseSettings(const std::string& path, bool refuse) {
  End(path)->SetRefuseSettings(refuse);
}

std::shared_ptr<FakeDeviceEnd> FakeDeviceOpener::End(const std::string& path) {
  MutexLock lock(mutex_);
  std::shared_ptr<FakeDeviceEnd>& end = ends_[path];
  if (!end) end = std::make_shared<FakeDeviceEnd>();
  return end;
}

std::unique_ptr<SerialDevice> FakeDeviceOpener::Open(const std::string& path,
                                                     const LineSettings& settings,
                                                     FlowControl flow,
                                                     DeviceOpenResult* result) {
  *result = DeviceOpenResult{};
  result->path = path;
  std::shared_ptr<FakeDeviceEnd> end = End(path);
  auto signal = std::make_unique<WaitSignal>();
  if (!signal->ok()) {
    result->error = EMFILE;
    return nullptr;
  }
  uint64_t generation = 0;
  result->status = end->Open(settings, flow, signal.get(), &generation);
  switch (result->status) {
    case DeviceOpenStatus::kOpen:
      return std::make_unique<FakeDevice>(std::move(end), std::move(signal), generation);
    case DeviceOpenStatus::kAbsent:
      result->error = ENOENT;
      break;
    case DeviceOpenStatus::kBusy:
      result->error = EWOULDBLOCK;
      break;
    default:
      result->error = EINVAL;
      break;
  }
  return nullptr;
}

}  // namespace qmx::testsupport
