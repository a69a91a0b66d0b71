#include "testsupport/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qmx::testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// While this much waits to go back, the echo plug reads nothing more.
constexpr size_t kPendingLimit = 64 * 1024;

// How long a master that reports a hang-up (no slave open) is left alone.
constexpr int kRestMs = 20;

void CloseIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Milliseconds left until `deadline`, never negative.
int Left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PtyDevice::PtyDevice(std::string link, Play play, bool holdSlave)
    : link_(std::move(link)) {
  if (Open(holdSlave) && Link()) StartPlaying(play);
}

std::unique_ptr<PtyDevice> PtyDevice::Create(std::string link, Play play,
                                             std::string* error, bool holdSlave) {
  auto device = std::make_unique<PtyDevice>(std::move(link), play, holdSlave);
  if (device->ok()) return device;
  *error = device->error();
  return nullptr;
}

PtyDevice::~PtyDevice() {
  const bool hungUp = master_ < 0;
  StopPlaying();
  CloseIfOpen(master_);
  CloseIfOpen(slave_);
  CloseIfOpen(stopFd_);
  // After a hang-up a successor may have been linked under the same name,
  // and may even have been given the same pseudo-terminal number.
  std::error_code ec;
  if (linked_ && !hungUp && std::filesystem::read_symlink(link_, ec) == devicePath_) {
    std::filesystem::remove(link_, ec);
  }
}

bool PtyDevice::Fail(std::string_view what) {
  error_ = std::string(what) + ": " + std::strerror(errno);
  return false;
}

bool PtyDevice::Open(bool holdSlave) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master_ < 0) return Fail("posix_openpt");
  std::array<char, 128> path{};
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, path.data(), path.size()) != 0) {
    return Fail("pseudo-terminal set-up");
  }
  devicePath_ = path.data();
  // Raw before anyone else opens it; the settings stay with the terminal
  // after this descriptor closes.
  int slave = ::open(path.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) return Fail(devicePath_);
  termios raw{};
  if (::tcgetattr(slave, &raw) != 0) {
    ::close(slave);
    return Fail("tcgetattr");
  }
  ::cfmakeraw(&raw);
  if (::tcsetattr(slave, TCSANOW, &raw) != 0) {
    ::close(slave);
    return Fail("tcsetattr");
  }
  if (holdSlave) {
    slave_ = slave;
  } else {
    ::close(slave);
  }
  return true;
}

bool PtyDevice::Link() {
  if (link_.empty()) return true;
  struct stat entry;
  if (::lstat(link_.c_str(), &entry) == 0) {
    if (!S_ISLNK(entry.st_mode)) {
      error_ = link_ + " exists and is not a link; not replaced";
      return false;
    }
    ::unlink(link_.c_str());  // an older device's, or left by an earlier run
  }
  if (::symlink(devicePath_.c_str(), link_.c_str()) != 0) return Fail(link_);
  linked_ = true;
  return true;
}

void PtyDevice::StartPlaying(Play role) {
  if (role == Play::kSelf) return;
  stopFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (stopFd_ < 0) {
    Fail("eventfd");
    return;
  }
  player_ = std::thread([this, role] {
    std::string pending;
    std::array<char, 16384> buffer;
    for (;;) {
      if (role == Play::kSource && pending.empty()) pending.assign(kPendingLimit, 'D');
      const bool readMore = role == Play::kSource || pending.size() < kPendingLimit;
      const short wanted =
          static_cast<short>((readMore ? POLLIN : 0) | (pending.empty() ? 0 : POLLOUT));
      pollfd fds[2] = {{master_, wanted, 0}, {stopFd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        failure_ = errno;
        return;
      }
      if (fds[1].revents != 0) return;
      const short got = fds[0].revents;
      if ((got & POLLIN) != 0) {
        const ssize_t n = ::read(master_, buffer.data(), buffer.size());
        if (n > 0 && role == Play::kEcho)
          pending.append(buffer.data(), static_cast<size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
          failure_ = errno;
          return;
        }
      }
      if (!pending.empty() && (got & POLLOUT) != 0) {
        const ssize_t n = ::write(master_, pending.data(), pending.size());
        if (n > 0) {
          pending.erase(0, static_cast<size_t>(n));
          echoed_.fetch_add(static_cast<uint64_t>(n));
        }
      }
      if ((got & (POLLHUP | POLLERR)) != 0 && (got & POLLIN) == 0) {
        // Nobody holds the slave right now; look again shortly.
        pollfd stop{stopFd_, POLLIN, 0};
        if (::poll(&stop, 1, kRestMs) > 0) return;
      }
    }
  });
}

void PtyDevice::StopPlaying() {
  if (!player_.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(stopFd_, &one, sizeof one);
  player_.join();
}

void PtyDevice::Hangup() {
  StopPlaying();
  CloseIfOpen(master_);
  CloseIfOpen(slave_);
}

std::string PtyDevice::fault() const {
  const int code = failure_.load();
  return code == 0 ? std::string()
                   : std::string("pseudo-terminal: ") + std::strerror(code);
}

bool PtyDevice::Write(std::string_view bytes, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!bytes.empty() && master_ >= 0) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd room{master_, POLLOUT, 0};
    if (::poll(&room, 1, Left(deadline)) == 0 && Left(deadline) == 0) return false;
  }
  return bytes.empty();
}

std::string PtyDevice::Read(size_t count, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string out;
  std::array<char, 4096> buffer;
  while (out.size() < count && master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, Left(deadline)) <= 0) {
      if (Left(deadline) == 0) break;
      continue;
    }
    if ((p.revents & POLLIN) == 0) break;  // hung up with nothing left to read
    const ssize_t n =
        ::read(master_, buffer.data(), std::min(buffer.size(), count - out.size()));
    if (n > 0) {
      out.append(buffer.data(), static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return out;
}

bool PtyDevice::WaitHangup(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::array<char, 4096> buffer;
  while (master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, Left(deadline)) <= 0) {
      if (Left(deadline) == 0) return false;
      continue;
    }
    if ((p.revents & POLLHUP) != 0) return true;
    (void)::read(master_, buffer.data(), buffer.size());  // what came on the way out
  }
  return false;
}

bool LinkMissingDevice(const std::string& link) {
  std::error_code ec;
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink("/nonexistent/qmx-device", link, ec);
  return !ec;
}

}  // namespace qmx::testsupport
