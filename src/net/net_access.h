// Where the server's lines listen and who may connect to them.
//
// Addresses and nets are plain values (no socket headers needed to use them):
// ParseIpAddress, ParseIpNet, IpNetContains, FormatIpAddress and ParsePortText
// are pure and may run on any thread.
//
// The listen addresses, the allow-lists and the refusal listener are the
// socket layer's network configuration. The program sets them once, before
// the first line listens (TcpSetListenAddresses and TcpSetAllowLists take an
// internal lock, so a later change is safe too and applies to the next
// TcpListen and the next accepted client). TcpListen copies the addresses;
// the accept threads read the allow-lists under that internal lock for each
// client they accept.
//
// A client outside the allow-list of its line is closed at once by the line's
// accept thread: before the control line's greeting, before it takes the
// line's single client place, before any of its bytes is queued. The refusal
// is told to the refusal listener as "TCP port 8002 refused 192.0.2.9", at
// most once a minute per peer address. The listener runs on the accept
// thread with no lock of the socket layer held, so it may take other locks
// and call into the engine (but it must not wait for TcpDisconnect of any
// line, which waits for that thread).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace qmx {

// An IPv4 or IPv6 address. An IPv4 address keeps its four bytes in
// bytes[0..3]; an IPv6 one its sixteen, and the interface of a link-local
// address in scopeId (0 when none was given).
struct IpAddress {
  int family = 0;  // 4 or 6; 0 when empty
  std::array<uint8_t, 16> bytes{};
  uint32_t scopeId = 0;

  bool operator==(const IpAddress&) const = default;
  auto operator<=>(const IpAddress&) const = default;
};

// A network: an address and how many of its leading bits count.
struct IpNet {
  IpAddress address;
  int prefixLength = 0;
};

// The most --listen addresses a line takes (each one is a socket per line).
inline constexpr size_t kMaxListenAddresses = 16;

// Strict literal: dotted IPv4 with four decimal parts ("127.0.0.1"), or IPv6
// ("::1", "2001:db8::7") with an optional "%interface" or "%number" scope
// ("fe80::1%eth0"). Host names and the short IPv4 forms ("127.1") are not
// addresses. An interface name must exist on this host.
bool ParseIpAddress(std::string_view text, IpAddress* address);

// "192.0.2.0/24", "2001:db8::/32", or an address alone (the whole address:
// /32 or /128). Bits of the address beyond the prefix must be zero, so a typo
// such as "192.0.2.7/24" is refused rather than silently widened.
bool ParseIpNet(std::string_view text, IpNet* net);

// True when `peer` lies inside `net`. An IPv4-mapped IPv6 peer
// (::ffff:a.b.c.d) is taken as the IPv4 address a.b.c.d, and the scope of a
// link-local peer does not count.
bool IpNetContains(const IpNet& net, const IpAddress& peer);

// An IPv4-mapped IPv6 address as its IPv4 self; any other unchanged.
IpAddress UnmapIpAddress(const IpAddress& address);

// "192.0.2.9", "2001:db8::7", "fe80::1%eth0" (the interface by name where it
// still exists).
std::string FormatIpAddress(const IpAddress& address);

// The TCP port rule: a whole decimal number from 1 to 65535, or a "tcp"
// service name known to this host ("http"). Anything else, among them "0",
// "65536", "96537" and "31205x", is not a port. Gives the port in host order.
bool ParsePortText(std::string_view text, uint16_t* port);

// Listen addresses for every stream line from its next TcpListen on. Empty
// (the default): all IPv4 and all IPv6 addresses through one dual-stack
// socket per line, or all IPv4 addresses alone where the host has no IPv6.
void TcpSetListenAddresses(std::vector<IpAddress> addresses);
std::vector<IpAddress> TcpListenAddresses();

// Who may connect. An empty `allow` admits everyone. `controlAllow`, when
// `controlAllowGiven`, replaces `allow` for the control line (line 0).
void TcpSetAllowLists(std::vector<IpNet> allow, std::vector<IpNet> controlAllow,
                      bool controlAllowGiven);

// True when a client at `peer` may use `line`.
bool TcpPeerAllowed(int line, const IpAddress& peer);

// Receives the text of each reported refusal; an empty function reports
// nothing.
void TcpSetRefusalListener(std::function<void(const std::string&)> listener);

// Binds a throw-away socket on port 0 to each configured listen address, so
// that an address this host does not have is found before anything is
// served. Returns true, or false with "192.0.2.77: Cannot assign requested
// address" in *failure.
bool TcpCheckListenAddresses(std::string* failure);

// Decides which refusals are reported: one per peer address per minute. The
// table is bounded: entries older than the interval are dropped when it
// fills, and while it is full of recent peers a new one is not reported
// (a scan from many addresses cannot grow memory or flood the log).
// Not thread-safe by itself; the socket layer guards its one instance.
class RefusalLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{60};
  static constexpr size_t kCapacity = 1024;

  // True when a refusal of `peer` at `now` is to be reported.
  bool Admit(const IpAddress& peer, Clock::time_point now);
  size_t Size() const { return lastReport_.size(); }

 private:
  std::map<IpAddress, Clock::time_point> lastReport_;
};

}  // namespace qmx
