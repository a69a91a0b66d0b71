#include "platform/systemd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qmx {

SystemdNotifier::SystemdNotifier() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  address_ = path;
  // A name starting with '@' is in the abstract namespace.
  if (address_[0] == '@') address_[0] = '\0';
  if (address_.size() >= sizeof(::sockaddr_un::sun_path)) return;
  socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);

  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  // WATCHDOG_PID names the process the watchdog is for; a child that
  // inherited the environment is not it.
  const bool ours = pid == nullptr || std::strtol(pid, nullptr, 10) == ::getpid();
  if (usec != nullptr && ours) {
    const unsigned long long value = std::strtoull(usec, nullptr, 10);
    if (value > 0) watchdog_ = std::chrono::microseconds(value);
  }
}

SystemdNotifier::~SystemdNotifier() {
  if (socket_ >= 0) ::close(socket_);
}

bool SystemdNotifier::Notify(std::string_view message) const {
  if (socket_ < 0) return false;
  ::sockaddr_un to{};
  to.sun_family = AF_UNIX;
  std::memcpy(to.sun_path, address_.data(), address_.size());
  const auto length =
      static_cast<::socklen_t>(offsetof(::sockaddr_un, sun_path) + address_.size());
  for (;;) {
    const ssize_t sent = ::sendto(socket_, message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const ::sockaddr*>(&to), length);
    if (sent >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace qmx
