// Helpers shared by the socket layer's tests: a trace collector and plain
// loopback sockets for the far end of a line; free ports and bounded waits
// come from the shared test support.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "testsupport/free_port.h"
#include "testsupport/process_table.h"
#include "testsupport/wait_for.h"

namespace qmx::net_test {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Collects the trace; a test can wait for a text to appear `count` times.
class TraceLog {
 public:
  void Add(std::string_view message) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
    changed_.notify_all();
  }
  int Count(std::string_view text) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), text));
  }
  bool WaitFor(std::string_view text, int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] {
      return std::count(lines_.begin(), lines_.end(), text) >= count;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

using testsupport::FreeTcpPort;
using testsupport::WaitFor;

inline ::sockaddr_in Loopback(int port) {
  ::sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A plain listening socket on a free loopback port, stored in *port.
inline int RawListener(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ::sockaddr_in address = Loopback(0);
  ::socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<::sockaddr*>(&address), sizeof(address));
  ::listen(fd, 1);
  ::getsockname(fd, reinterpret_cast<::sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// A plain datagram socket bound to a free loopback port, stored in *port.
inline int RawDatagramSocket(int* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::sockaddr_in address = Loopback(0);
  ::socklen_t length = sizeof(address);
  ::bind(fd, reinterpret_cast<::sockaddr*>(&address), sizeof(address));
  ::getsockname(fd, reinterpret_cast<::sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

inline void SendText(int fd, std::string_view text) {
  ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(text.size()));
}

inline std::string Text(const char* prefix, int code) {
  return prefix + std::to_string(code);
}

// The line table's queues with storage, each line's bound to it, and its
// wake-up event open, as start-up leaves them; and the way back.
inline void OpenLineQueues() {
  LineTable& table = Table();
  table.wakeEvent.Open();
  table.net.TcpBindInput(0, &table.cmdQueue, &table.wakeEvent);
  for (int L = 1; L < table.LineCount(); ++L)
    table.net.TcpBindInput(L, &table.txQueue[L - 1], &table.wakeEvent);
  table.cmdQueue.Allocate(kQueueCapacity);
  for (ByteQueue& queue : table.txQueue) queue.Allocate(kQueueCapacity);
}
inline void CloseLineQueues() {
  LineTable& table = Table();
  table.cmdQueue.Free();
  for (ByteQueue& queue : table.txQueue) queue.Free();
  table.wakeEvent.Close();
}

}  // namespace qmx::net_test
