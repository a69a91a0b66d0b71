#include "pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qmx::bench {

PtyPair::~PtyPair() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

bool PtyPair::Open(std::string* error) {
  char name[128] = {};
  termios raw{};
  ::cfmakeraw(&raw);
  if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
    *error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

EchoDevice::EchoDevice(int master) : master_(master) {
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { Run(); });
}

EchoDevice::~EchoDevice() {
  Stop();
  if (stopFd_ >= 0) ::close(stopFd_);
}

void EchoDevice::Stop() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(stopFd_, &one, sizeof one);
  thread_.join();
}

std::string EchoDevice::fault() const {
  if (!failed_.load()) return {};
  return std::string("echo device: ") + std::strerror(failure_);
}

void EchoDevice::Run() {
  uint8_t buffer[4096];
  auto fail = [this](int code) {
    failure_ = code;
    failed_.store(true);
  };
  for (;;) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (fds[1].revents != 0) return;
    const ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return fail(errno);
    }
    size_t done = 0;
    while (done < static_cast<size_t>(got)) {
      const ssize_t put =
          ::write(master_, buffer + done, static_cast<size_t>(got) - done);
      if (put > 0) {
        done += static_cast<size_t>(put);
        continue;
      }
      if (put < 0 && errno != EAGAIN && errno != EINTR) return fail(errno);
      pollfd out[2] = {{master_, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
      (void)::poll(out, 2, -1);
      if (out[1].revents != 0) return;
    }
    echoed_.fetch_add(static_cast<uint64_t>(got));
  }
}

}  // namespace qmx::bench
