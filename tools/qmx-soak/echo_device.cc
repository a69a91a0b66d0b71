#include "echo_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace qmx::load {
namespace {

// While this much is waiting to go back, the device reads nothing more: the
// server's writes then wait, as with hardware flow control.
constexpr size_t kPendingLimit = 64 * 1024;

// How long a master that reports a hang-up (no slave open) is left alone.
constexpr int kRestMs = 20;

std::string ErrnoText(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::unique_ptr<EchoDevice> EchoDevice::Create(const std::string& linkPath,
                                               std::string* error, Role role) {
  std::unique_ptr<EchoDevice> device(new EchoDevice());
  device->role_ = role;
  device->link_ = linkPath;
  device->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  std::array<char, 128> path{};
  if (device->master_ < 0 || ::grantpt(device->master_) != 0 ||
      ::unlockpt(device->master_) != 0 ||
      ::ptsname_r(device->master_, path.data(), path.size()) != 0) {
    *error = ErrnoText("pseudo-terminal");
    return nullptr;
  }
  device->devicePath_ = path.data();
  device->keeper_ = ::open(path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (device->keeper_ < 0) {
    *error = ErrnoText(device->devicePath_);
    return nullptr;
  }
  // Raw before the server opens it: no echo, no translation of CR and LF.
  termios raw{};
  ::tcgetattr(device->keeper_, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(device->keeper_, TCSANOW, &raw);

  std::error_code ec;
  std::filesystem::remove(linkPath, ec);
  std::filesystem::create_symlink(device->devicePath_, linkPath, ec);
  if (ec) {
    *error = linkPath + ": " + ec.message();
    return nullptr;
  }
  device->stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (device->stopFd_ < 0) {
    *error = ErrnoText("eventfd");
    return nullptr;
  }
  device->echo_ = std::thread([raw = device.get()] { raw->EchoLoop(); });
  return device;
}

EchoDevice::~EchoDevice() {
  StopThread();
  CloseIfOpen(master_);
  CloseIfOpen(keeper_);
  CloseIfOpen(stopFd_);
  // The link goes only while it still points at this device. After a
  // vanish a successor may have been linked under the same name, and may even
  // have been given the same pseudo-terminal number.
  std::error_code ec;
  if (!vanished_ && std::filesystem::read_symlink(link_, ec) == devicePath_) {
    std::filesystem::remove(link_, ec);
  }
}

void EchoDevice::StopThread() {
  if (!echo_.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(stopFd_, &one, sizeof one);
  echo_.join();
}

void EchoDevice::Vanish() {
  if (master_ >= 0) vanished_ = true;
  StopThread();
  CloseIfOpen(master_);
  CloseIfOpen(keeper_);
}

void EchoDevice::EchoLoop() {
  std::string pending;
  std::array<char, 16384> buffer;
  for (;;) {
    if (role_ == Role::kSource && pending.empty()) pending.assign(kPendingLimit, 'D');
    const bool readMore = role_ == Role::kSource || pending.size() < kPendingLimit;
    const short wanted =
        static_cast<short>((readMore ? POLLIN : 0) | (pending.empty() ? 0 : POLLOUT));
    pollfd fds[2] = {{master_, wanted, 0}, {stopFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer.data(), buffer.size());
      if (n > 0 && role_ == Role::kEcho) pending.append(buffer.data(), static_cast<size_t>(n));
    }
    if (!pending.empty() && (fds[0].revents & POLLOUT) != 0) {
      const ssize_t n = ::write(master_, pending.data(), pending.size());
      if (n > 0) {
        pending.erase(0, static_cast<size_t>(n));
        echoed_.fetch_add(static_cast<uint64_t>(n));
      }
    }
    if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0) {
      // Nobody holds the slave right now; look again shortly.
      pollfd stop{stopFd_, POLLIN, 0};
      if (::poll(&stop, 1, kRestMs) > 0) return;
    }
  }
}

}  // namespace qmx::load
