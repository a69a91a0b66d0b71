#include "serial/serial_device.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "serial/rs_port.h"

namespace qmx {

int OpenExclusiveAt(int folderFd, const std::string& path) {
  int fd;
  do {
    fd = ::openat(folderFd, path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result < 0 && errno == EINTR);
  if (result < 0) {
    int error = errno;
    ::close(fd);
    return -error;
  }
  // Keeps out other openers that do not lock (root passes anyway). Not every
  // device supports it; whether the device is a usable tty at all is decided
  // when its line settings are applied.
  (void)::ioctl(fd, TIOCEXCL);
  return fd;
}

void CloseExclusive(int fd) {
  if (fd < 0) return;
  (void)::ioctl(fd, TIOCNXCL);
  ::close(fd);  // not retried: after EINTR the descriptor is already gone
}

void Purge(int fd, PurgeQueue which) {
  const int queue = which == PurgeQueue::kInput    ? TCIFLUSH
                    : which == PurgeQueue::kOutput ? TCOFLUSH
                                                   : TCIOFLUSH;
  (void)::tcflush(fd, queue);
}

void RequestLowLatency(int fd) {
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  (void)::ioctl(fd, TIOCSSERIAL, &serial);
}

void SetDtr(int fd, bool on) {
  int bits = TIOCM_DTR;
  (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool SetRts(int fd, bool on) {
  int bits = TIOCM_RTS;
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
}

bool SetBreak(int fd, bool on) { return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0; }

bool ReadModemLines(int fd, ModemLines* lines) {
  *lines = ModemLines{};
  int bits = 0;
  if (::ioctl(fd, TIOCMGET, &bits) != 0) return false;
  lines->cd = (bits & TIOCM_CD) != 0;
  lines->ri = (bits & TIOCM_RI) != 0;
  lines->dsr = (bits & TIOCM_DSR) != 0;
  lines->cts = (bits & TIOCM_CTS) != 0;
  return true;
}

bool ReadErrorCounters(int fd, ErrorCounters* counters) {
  serial_icounter_struct icount{};
  if (::ioctl(fd, TIOCGICOUNT, &icount) != 0) return false;
  counters->frame = icount.frame;
  counters->overrun = icount.overrun;
  counters->parity = icount.parity;
  counters->brk = icount.brk;
  counters->bufferOverrun = icount.buf_overrun;
  return true;
}

uint32_t ErrorFlagsBetween(const ErrorCounters& before, const ErrorCounters& after) {
  uint32_t flags = 0;
  if (after.frame != before.frame) flags |= CE_FRAME;
  if (after.overrun != before.overrun) flags |= CE_OVERRUN;
  if (after.parity != before.parity) flags |= CE_RXPARITY;
  if (after.brk != before.brk) flags |= CE_BREAK;
  if (after.bufferOverrun != before.bufferOverrun) flags |= CE_RXOVER;
  return flags;
}

long ReadSome(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -errno;
  }
}

long WriteSome(int fd, const uint8_t* data, size_t size) {
  for (;;) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -errno;
  }
}

}  // namespace qmx
