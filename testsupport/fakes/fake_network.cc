#include "testsupport/fakes/fake_network.h"

#include <cerrno>
#include <deque>
#include <utility>

#include "testsupport/fakes/wait_signal.h"

namespace qmx::testsupport {

// One listening port: the clients that connected and were not accepted yet.
struct FakePort {
  Mutex mutex;
  std::deque<std::unique_ptr<ClientConnection>> waiting GUARDED_BY(mutex);
  WaitSignal signal;  // readable while a client waits

  void Update() REQUIRES(mutex) { signal.Set(!waiting.empty(), true); }
};

class FakeListener : public Listener {
 public:
  FakeListener(FakeNetwork& network, uint16_t port, std::shared_ptr<FakePort> state)
      : network_(network), port_(port), state_(std::move(state)) {}
  ~FakeListener() override { network_.Release(port_, state_.get()); }
  FakeListener(const FakeListener&) = delete;
  FakeListener& operator=(const FakeListener&) = delete;

  std::unique_ptr<ClientConnection> Accept(int* error) override {
    *error = 0;
    MutexLock lock(state_->mutex);
    if (state_->waiting.empty()) return nullptr;
    std::unique_ptr<ClientConnection> client = std::move(state_->waiting.front());
    state_->waiting.pop_front();
    state_->Update();
    return client;
  }
  int WaitHandle() const override { return state_->signal.handle(); }

 private:
  FakeNetwork& network_;
  const uint16_t port_;
  std::shared_ptr<FakePort> state_;
};

std::unique_ptr<Listener> FakeNetwork::Listen(uint16_t port, int* error) {
  MutexLock lock(mutex_);
  if (taken_.count(port) != 0 || ports_.count(port) != 0) {
    *error = EADDRINUSE;
    return nullptr;
  }
  auto state = std::make_shared<FakePort>();
  if (!state->signal.ok()) {
    *error = EMFILE;
    return nullptr;
  }
  ports_[port] = state;
  return std::make_unique<FakeListener>(*this, port, std::move(state));
}

void FakeNetwork::Release(uint16_t port, const FakePort* which) {
  MutexLock lock(mutex_);
  auto found = ports_.find(port);
  if (found != ports_.end() && found->second.get() == which) ports_.erase(found);
}

std::shared_ptr<FakeClientEnd> FakeNetwork::Connect(uint16_t port,
                                                    const std::string& peer) {
  std::shared_ptr<FakePort> state;
  {
    MutexLock lock(mutex_);
    auto found = ports_.find(port);
    if (found == ports_.end()) return nullptr;
    state = found->second;
  }
  IpAddress address;
  if (!ParseIpAddress(peer, &address)) return nullptr;
  FakeConnectionPair pair = MakeFakeConnection(address);
  if (pair.connection == nullptr) return nullptr;
  MutexLock lock(state->mutex);
  state->waiting.push_back(std::move(pair.connection));
  state->Update();
  return pair.client;
}

bool FakeNetwork::Listening(uint16_t port) const {
  MutexLock lock(mutex_);
  return ports_.count(port) != 0;
}

void FakeNetwork::Take(uint16_t port, bool taken) {
  MutexLock lock(mutex_);
  if (taken) {
    taken_.insert(port);
  } else {
    taken_.erase(port);
  }
}

}  // namespace qmx::testsupport
