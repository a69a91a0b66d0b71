#include "testsupport/fakes/fake_connection.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "testsupport/fakes/wait_signal.h"

namespace qmx::testsupport {

class FakeConnection : public ClientConnection {
 public:
  FakeConnection(std::shared_ptr<FakeClientEnd> end, std::unique_ptr<WaitSignal> signal,
                 const IpAddress& peer, std::string name)
      : end_(std::move(end)),
        signal_(std::move(signal)),
        peer_(peer),
        name_(std::move(name)) {
    end_->Attach(signal_.get());
  }
  ~FakeConnection() override { end_->Close(); }
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  ConnectionIo Receive(std::span<uint8_t> into) override {
    return end_->ConnectionReceive(into);
  }
  ConnectionIo SendNow(std::span<const uint8_t> bytes) override {
    return end_->ConnectionSend(bytes);
  }
  int WaitHandle() const override { return signal_->handle(); }
  WantedEvents Wanted(bool wantInput, bool haveOutput) const override {
    return {wantInput, haveOutput};
  }
  void HalfClose() override { end_->HalfClose(); }
  void Abort() override { end_->Abort(); }
  const IpAddress& Peer() const override { return peer_; }
  std::string Name() const override { return name_; }

 private:
  std::shared_ptr<FakeClientEnd> end_;
  std::unique_ptr<WaitSignal> signal_;
  IpAddress peer_;
  std::string name_;
};

bool FakeClientEnd::Send(std::string_view bytes) {
  MutexLock lock(mutex_);
  if (inputEnded_ || Gone()) return false;
  input_.insert(input_.end(), bytes.begin(), bytes.end());
  UpdateSignal();
  return true;
}

void FakeClientEnd::EndInput() {
  MutexLock lock(mutex_);
  inputEnded_ = true;
  UpdateSignal();
}

void FakeClientEnd::Reset() {
  MutexLock lock(mutex_);
  reset_ = true;
  input_.clear();
  UpdateSignal();
}

size_t FakeClientEnd::PendingInput() const {
  MutexLock lock(mutex_);
  return input_.size();
}

std::string FakeClientEnd::Received() const {
  MutexLock lock(mutex_);
  return received_;
}

std::string FakeClientEnd::TakeReceived() {
  MutexLock lock(mutex_);
  return std::exchange(received_, {});
}

bool FakeClientEnd::WaitForReceived(size_t size, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(mutex_);
  while (received_.size() < size) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero()) return false;
    (void)receivedChanged_.WaitFor(mutex_, left);
  }
  return true;
}

void FakeClientEnd::SetRoom(size_t bytes) {
  MutexLock lock(mutex_);
  room_ = bytes;
  UpdateSignal();
}

bool FakeClientEnd::HalfClosed() const {
  MutexLock lock(mutex_);
  return halfClosed_;
}

bool FakeClientEnd::Aborted() const {
  MutexLock lock(mutex_);
  return aborted_;
}

bool FakeClientEnd::Closed() const {
  MutexLock lock(mutex_);
  return closed_;
}

void FakeClientEnd::Attach(WaitSignal* signal) {
  MutexLock lock(mutex_);
  signal_ = signal;
  UpdateSignal();
}

void FakeClientEnd::Close() {
  MutexLock lock(mutex_);
  signal_ = nullptr;
  closed_ = true;
}

ConnectionIo FakeClientEnd::ConnectionReceive(std::span<uint8_t> into) {
  MutexLock lock(mutex_);
  if (Gone()) return {ConnectionIo::Kind::kGone, 0, reset_ ? ECONNRESET : ENOTCONN};
  if (into.empty()) return {};
  if (input_.empty()) {
    return {inputEnded_ ? ConnectionIo::Kind::kEnded : ConnectionIo::Kind::kWouldBlock, 0,
            0};
  }
  const size_t n = std::min(into.size(), input_.size());
  std::copy_n(input_.begin(), n, into.begin());
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
  UpdateSignal();
  return {ConnectionIo::Kind::kDone, n, 0};
}

ConnectionIo FakeClientEnd::ConnectionSend(std::span<const uint8_t> bytes) {
  MutexLock lock(mutex_);
  if (Gone()) return {ConnectionIo::Kind::kGone, 0, reset_ ? ECONNRESET : ENOTCONN};
  if (halfClosed_) return {ConnectionIo::Kind::kGone, 0, EPIPE};
  if (bytes.empty()) return {};
  const size_t n = std::min(bytes.size(), room_);
  if (n == 0) return {ConnectionIo::Kind::kWouldBlock, 0, 0};
  if (room_ != kUnlimited) room_ -= n;
  received_.append(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
  UpdateSignal();
  receivedChanged_.SignalAll();
  return {ConnectionIo::Kind::kDone, n, 0};
}

void FakeClientEnd::HalfClose() {
  MutexLock lock(mutex_);
  halfClosed_ = true;
  UpdateSignal();
}

void FakeClientEnd::Abort() {
  MutexLock lock(mutex_);
  aborted_ = true;
  input_.clear();
  UpdateSignal();
}

void FakeClientEnd::UpdateSignal() {
  if (signal_ == nullptr) return;
  signal_->Set(!input_.empty() || inputEnded_ || Gone(),
               room_ > 0 || Gone() || halfClosed_);
}

FakeConnectionPair MakeFakeConnection(const IpAddress& peer, std::string name) {
  FakeConnectionPair pair;
  pair.client = std::make_shared<FakeClientEnd>();
  auto signal = std::make_unique<WaitSignal>();
  if (!signal->ok()) return pair;
  if (name.empty()) name = FormatIpAddress(UnmapIpAddress(peer));
  pair.connection = std::make_unique<FakeConnection>(pair.client, std::move(signal), peer,
                                                     std::move(name));
  return pair;
}

}  // namespace qmx::testsupport
