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
// most once a minute per peer address; refusals that cannot be told one by
// one (see RefusalLimiter) are told together as "73 refusals from 41 more
// addresses", at most once a minute. Nothing runs on a timer: a summary
// that has come due is told along with the next refusal, and one still
// pending when the listener is replaced goes to the outgoing listener (see
// TcpSetRefusalListener); a count left when the process simply ends is not
// told. The listener runs on the accept thread with no lock of the socket
// layer held, so it may take other locks and call into the engine (but it
// must not wait for TcpDisconnect of any line, which waits for that thread).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
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
// link-local peer does not count. Likewise a net written in mapped form, one
// inside ::ffff:0:0/96 ("::ffff:127.0.0.0/104"), is taken as the IPv4 net
// with 96 bits less of prefix (127.0.0.0/8), so it matches IPv4 peers
// however they arrive. ParseIpNet keeps the net as written; the mapped form
// is only resolved here. A wider IPv6 net (::/0, ::/64) matches IPv6 peers
// alone, as IPv4 peers never compare as IPv6 addresses.
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

// Decides which refusals are reported: one per peer address per minute. The
// table of recently reported peers is bounded: entries older than the
// interval are dropped when it fills, and while it is full of recent peers a
// new peer is not reported by itself (a scan from many addresses cannot grow
// memory or flood the log). Such refusals are counted instead and reported
// as one summary, "N refusals from M more addresses", once a minute has
// passed since the first of them. The limiter is shared by all lines, so the
// summary names no port.
//
// A summary becomes due with time but is handed out only by a call: with the
// result of the first Admit at or after its due time (whatever the peer), or
// by TakeSummary. Until then the count is kept, never dropped.
//
// M counts distinct addresses exactly, in a set bounded at
// kSummaryAddressLimit entries (so a scan from ever more addresses grows it
// no further); past that bound the summary says "at least M".
// Not thread-safe by itself; the socket layer guards its one instance.
class RefusalLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{60};
  static constexpr size_t kCapacity = 1024;
  static constexpr size_t kSummaryAddressLimit = 4096;

  struct Verdict {
    bool reportPeer = false;  // report this refusal with its peer address
    std::string summary;      // when not empty, a summary to report as well
  };

  // Records a refusal of `peer` at `now` and says what to report.
  Verdict Admit(const IpAddress& peer, Clock::time_point now);
  // The summary of the refusals counted so far, due or not ("" when there
  // are none); starts a new count.
  std::string TakeSummary();
  // Peers in the table of recent reports.
  size_t Size() const { return lastReport_.size(); }

 private:
  bool MakeRoom(Clock::time_point now);

  std::map<IpAddress, Clock::time_point> lastReport_;
  // While the table is full of recent peers: when its oldest entry expires.
  Clock::time_point fullUntil_{};
  // The refusals not reported one by one since the last summary.
  uint64_t pendingRefusals_ = 0;
  Clock::time_point pendingSince_{};
  std::set<IpAddress> pendingAddresses_;
  bool pendingAddressesOverflow_ = false;
};

}  // namespace qmx
