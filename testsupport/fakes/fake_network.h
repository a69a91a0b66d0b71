// A fake of the listener seam (net/network.h), for tests of the lines, the
// relay and the commands without a socket: a line that listens on a port of
// a FakeNetwork gets its clients from Connect, each a fake connection
// (fake_connection.h) whose FakeClientEnd the test keeps.
//
// Connect reaches whichever listener holds the port at that moment; with none
// there it gives null, as a refused connect would. A port may be marked
// taken, so that Listen on it fails with EADDRINUSE, as when another program
// holds it.
//
// The listener's wait handle is readable exactly while a connected client
// waits to be accepted.
//
// Threads: any thread may connect or look at the network while the server's
// threads listen and accept.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "net/network.h"
#include "platform/mutex.h"
#include "testsupport/fakes/fake_connection.h"

namespace qmx::testsupport {

struct FakePort;

class FakeNetwork : public Network {
 public:
  FakeNetwork() = default;
  FakeNetwork(const FakeNetwork&) = delete;
  FakeNetwork& operator=(const FakeNetwork&) = delete;

  std::unique_ptr<Listener> Listen(uint16_t port, int* error) override;

  // A client connecting to `port` from `peer` (127.0.0.1 by default); null
  // when nothing listens there.
  std::shared_ptr<FakeClientEnd> Connect(uint16_t port,
                                         const std::string& peer = "127.0.0.1");
  bool Listening(uint16_t port) const;
  // Listen on `port` fails while it is taken.
  void Take(uint16_t port, bool taken);

 private:
  friend class FakeListener;
  void Release(uint16_t port, const FakePort* which);

  mutable Mutex mutex_;
  std::map<uint16_t, std::shared_ptr<FakePort>> ports_ GUARDED_BY(mutex_);
  std::set<uint16_t> taken_ GUARDED_BY(mutex_);
};

}  // namespace qmx::testsupport
