// The plain TCP client behind ClientConnection.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "net/client_connection.h"
#include "net/socket_internal.h"

namespace qmx {
namespace {

ConnectionIo Failed(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK)
    return {ConnectionIo::Kind::kWouldBlock, 0, 0};
  return {ConnectionIo::Kind::kGone, 0, error};
}

class TcpConnection : public ClientConnection {
 public:
  TcpConnection(int fd, const IpAddress& peer) : fd_(fd), peer_(peer) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    net::SetNoDelay(fd_);
    net::SetKeepAlive(fd_);
  }
  ~TcpConnection() override { ::close(fd_); }
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  ConnectionIo Receive(std::span<uint8_t> into) override {
    if (into.empty()) return {};
    const ssize_t n = net::SysRecv(fd_, into.data(), into.size());
    if (n > 0) return {ConnectionIo::Kind::kDone, static_cast<size_t>(n), 0};
    if (n == 0) return {ConnectionIo::Kind::kEnded, 0, 0};
    return Failed(errno);
  }

  ConnectionIo SendNow(std::span<const uint8_t> bytes) override {
    if (bytes.empty()) return {};
    const ssize_t n = net::SysSend(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (n >= 0) return {ConnectionIo::Kind::kDone, static_cast<size_t>(n), 0};
    return Failed(errno);
  }

  int WaitHandle() const override { return fd_; }
  WantedEvents Wanted(bool wantInput, bool haveOutput) const override {
    return {wantInput, haveOutput};
  }

  void HalfClose() override { (void)::shutdown(fd_, SHUT_WR); }

  void Abort() override {
    // A shutdown would only queue an orderly end behind the unsent bytes, and
    // a close is not ours to do while the owner still polls the descriptor.
    // Dissolving the association (a connect to AF_UNSPEC) sends the reset now
    // and drops what waits to go out; from then on the socket polls as hung
    // up and Receive and SendNow give kGone. The zero linger time makes the
    // final close reset too, should the disconnect have been refused.
    ::linger reset{1, 0};
    (void)::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::sockaddr noAddress{};
    noAddress.sa_family = AF_UNSPEC;
    (void)::connect(fd_, &noAddress, sizeof(noAddress));
  }

  const IpAddress& Peer() const override { return peer_; }
  std::string Name() const override { return FormatIpAddress(UnmapIpAddress(peer_)); }

 private:
  int fd_;
  IpAddress peer_;
};

}  // namespace

std::unique_ptr<ClientConnection> MakeTcpConnection(int fd, const IpAddress& peer) {
  return std::make_unique<TcpConnection>(fd, peer);
}

}  // namespace qmx
