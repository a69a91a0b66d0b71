// A TCP client for tests and tools: connects (retrying for a while, as a
// server may still be starting), sends everything, and reads with a bounded
// wait. It plays the far end of a server's control or data line.
//
// Threads: owned by one thread. Nothing throws; a client that could not
// connect reports connected() false and reads nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qmx::testsupport {

class TcpClient {
 public:
  // Connects to 127.0.0.1:port.
  explicit TcpClient(int port);
  // Connects to `address` (an IPv4 or IPv6 literal), from `source` (a literal
  // of the same family) when given.
  TcpClient(const std::string& address, int port, const std::string& source = "");
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // False when the peer took not all of it.
  bool Send(std::string_view bytes);
  // Reads while `more(everything so far)` holds, the peer stays and `limit`
  // has not passed; returns everything received (and keeps nothing back).
  std::string ReadWhile(const std::function<bool(const std::string&)>& more,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Reads until the received text contains `expected`.
  std::string ReadUntil(const std::string& expected,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
  // True once `expected` has arrived.
  bool Receives(const std::string& expected,
                std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Reads exactly `count` bytes unless the peer goes or the time runs out.
  std::string ReadCount(size_t count,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Reads whatever arrives until `quiet` passes without anything.
  std::string Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
  // True when the peer closed the connection within `limit`; what arrives
  // meanwhile is dropped.
  bool WaitClosed(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Ends what this side sends (shutdown for writing), as a script does at
  // the end of its input; it still reads.
  void HalfClose();
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace qmx::testsupport
