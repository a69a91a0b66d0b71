// Telling the service manager how the server is doing, over the datagram
// socket it names in NOTIFY_SOCKET: "READY=1" once every line is up,
// "STATUS=..." a summary, "WATCHDOG=1" while the relay is alive, and
// "STOPPING=1" at shutdown. Without NOTIFY_SOCKET (not started by systemd,
// or not as Type=notify) every call does nothing.
//
// Threads: any thread; each call is one sendto on a socket of its own.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace qmx {

class SystemdNotifier {
 public:
  // Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID once.
  SystemdNotifier();
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool Enabled() const { return socket_ >= 0; }
  // Sends one message ("READY=1", "STATUS=8 lines, 3 clients"); false when
  // it could not be sent or there is nobody to tell.
  bool Notify(std::string_view message) const;

  // The watchdog interval the manager asks for (WatchdogSec), zero without
  // one; the server pings at a quarter of it.
  std::chrono::microseconds WatchdogInterval() const { return watchdog_; }

 private:
  int socket_ = -1;
  std::string address_;  // the socket's path; a leading NUL for an abstract one
  std::chrono::microseconds watchdog_{0};
};

}  // namespace qmx
