#include "testsupport/fakes/wait_signal.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace qmx::testsupport {
namespace {

void Drain(int fd) {
  std::array<char, 4096> sink;
  while (::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
  }
}

// Writes until the socket's send buffer is full. A stream socket of the local
// family polls writable only while less than a quarter of that buffer is in
// use, so a full one stays unwritable until the other end drains it.
void Fill(int fd) {
  const std::array<char, 4096> filler{};
  while (::send(fd, filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
}

}  // namespace

WaitSignal::WaitSignal() {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0)
    return;
  polled_ = ends[0];
  other_ = ends[1];
  // The smallest buffer the kernel allows keeps a fill to a few writes.
  const int small = 1;
  (void)::setsockopt(polled_, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
}

WaitSignal::~WaitSignal() {
  if (polled_ >= 0) ::close(polled_);
  if (other_ >= 0) ::close(other_);
}

void WaitSignal::Set(bool readable, bool writable) {
  if (!ok()) return;
  if (readable != readable_) {
    if (readable) {
      const char one = 1;
      (void)::send(other_, &one, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
      Drain(polled_);
    }
    readable_ = readable;
  }
  if (writable != writable_) {
    if (writable) {
      Drain(other_);
    } else {
      Fill(polled_);
    }
    writable_ = writable;
  }
}

}  // namespace qmx::testsupport
