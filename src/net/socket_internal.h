// Internals shared by the socket layer's source files: line look-up, the
// line's queue, and thin wrappers over the socket calls.
//
// The wrappers retry EINTR themselves, so no caller sees it; every other
// failure comes back as -1 with errno set, as from the call itself.
#pragma once

#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "net/net_access.h"
#include "net/socket_layer.h"
#include "platform/byte_queue.h"

struct sockaddr_in;
struct sockaddr_storage;
struct in_addr;

namespace qmx::net {

// Receive chunk of the accept thread: as large as the line's queue, so one
// recv can fill it. 2024 cost 1661 system calls per MB in `qmx-bench
// --quick`; 65536 (with the relay's 65536-byte chunks) 403.
inline constexpr int kRecvChunk = 65536;
// Backlog of a listening line: further clients wait here, beyond it the
// platform refuses them.
inline constexpr int kListenBacklog = 7;
// Pause before accept is tried again after running out of descriptors,
// buffers or memory.
inline constexpr int kAcceptRetryPauseMs = 100;

// The new descriptor is close-on-exec and blocking; the peer's address goes
// to *peer (an IPv4 peer of a dual-stack socket comes as ::ffff:a.b.c.d).
int SysAccept(int listenFd, IpAddress* peer);
ssize_t SysRecv(int fd, void* buffer, size_t size);
ssize_t SysSend(int fd, const void* data, size_t size, int flags);  // adds MSG_NOSIGNAL
void SetNoDelay(int fd);
// Keep-alive probes on an accepted client: the first after 60 s of silence,
// then every 10 s, and the connection is given up after 5 unanswered ones, so
// a peer that vanished frees its line within about two minutes.
inline constexpr int kKeepAliveIdleS = 60;
inline constexpr int kKeepAliveIntervalS = 10;
inline constexpr int kKeepAliveCount = 5;
void SetKeepAlive(int fd);

// A bound, listening, non-blocking stream socket, or fd -1 with the errno of
// the step that failed in `error` (and that step's name in `step`: "bind" or
// "listen"; anything before bind counts as "bind").
struct ListenSocket {
  int fd = -1;
  int error = 0;
  const char* step = "bind";
};
// Opens a socket for `address` (family 4 or 6; `port` in host order) with
// SO_REUSEADDR, binds and listens with kListenBacklog. An IPv6 socket takes
// IPv6 alone, unless `dualStack`, which is for the unspecified address "::"
// to reach IPv4 peers as well.
ListenSocket OpenListenSocket(const IpAddress& address, uint16_t port, bool dualStack);
// Binds, listens and makes non-blocking an already created socket `fd`.
ListenSocket ListenOn(int fd, const IpAddress& address, uint16_t port);

// recvfrom with room for an IPv4 peer address, which is not kept.
ssize_t SysRecvfrom(int fd, void* buffer, size_t size);
ssize_t SysSendto(int fd, const void* data, size_t size, const ::sockaddr_in* to);

// A new stream socket for a server line whose first listen address is
// addresses[0]; with no addresses a dual-stack IPv6 socket, or IPv4 where the
// host has no IPv6. Returns the descriptor, or -1 with errno set.
int NewServerSocket(const std::vector<IpAddress>& addresses);
// The first IPv4 listen address, or the any-address when none are set; false
// when only IPv6 addresses are set. (An in_addr, in network order.)
bool FirstIpv4ListenAddress(const std::vector<IpAddress>& addresses, ::in_addr* address);
// The line's listening sockets (lineSocket and moreSockets, which the line
// keeps and closes) as a Listener, behind one epoll descriptor; null with the
// errno in *error when that descriptor cannot be made.
// Its connections come from `maker` (MakeTcpConnection when empty).
std::unique_ptr<Listener> MakeSocketListener(const TcpLine& record, ConnectionMaker maker,
                                             int* error);

// A line's wake-up descriptor (an eventfd): SignalWake makes it readable
// until DrainWake takes the signal.
int MakeWake();
void SignalWake(int fd);
void DrainWake(int fd);

// Adds one to the tally's drop counter for `why` (nothing for kNone).
void CountDrop(LineTally& tally, DropReason why);

// Closes the line's further listening sockets and forgets them.
void CloseMoreSockets(TcpLine& record);

// An address and port (host order) as a socket address; returns its length.
unsigned ToSocketAddress(const IpAddress& address, uint16_t port,
                         ::sockaddr_storage* out);
// The address part of a socket address (family 0 for anything not IP).
IpAddress FromSocketAddress(const ::sockaddr_storage& in);

// Starts `procedure` on record.recordThread with stopRequested cleared: the
// step that makes a line usable starts its receiving thread with it
// (UdpRecvServerThread for a bound datagram line; TcpRecvThread or
// UdpRecvcliThread for a line whose socket is connected, which is then in
// state 4). Returns 0, or the code of the failure to report in a trace.
int StartRecordThread(TcpLine& record, void (SocketLayer::*procedure)(TcpLine*));
// For TcpDisconnect, after it has set stopRequested and shut the socket
// down: wakes the line's receiving thread from a hand-off wait, joins it, and
// drops any signal left on the line's events.
void StopRecordThread(TcpLine& record);

// A record as taken out of recvBuffer by the caller side of the hand-off.
struct RecordCopy {
  std::array<uint8_t, 32> bytes{};  // room for the largest record
  int size = 0;
};
// The caller side of the hand-off, shared by TcpRecv and UdpRecvfrom: waits
// up to waitMs for the line's record and copies it out before the receiving
// thread is released. Returns 1, or 0 with the trace and code of the failed
// or timed-out wait. `datagram` releases the thread also after a failed wait.
int TakeRecord(TcpLine& record, int waitMs, bool datagram, RecordCopy* copy, int* error);

// A client turned away after it was accepted (a failed handshake, a control
// place it may not take): counted as refused and logged with the reason.
void LogRefused(TcpLine& line, const ClientConnection& client, const std::string& reason);

}  // namespace qmx::net
