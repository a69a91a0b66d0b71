// Address and port texts, the network configuration of the socket layer, and
// the refusal reports.
#include "net/net_access.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "net/socket_internal.h"
#include "platform/mutex.h"

namespace qmx {
namespace {

bool AllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
}

// A whole decimal number no larger than `limit`, without sign or blanks.
bool ParseNumber(std::string_view text, uint32_t limit, uint32_t* value) {
  if (!AllDigits(text) || text.size() > 10) return false;
  uint64_t result = 0;
  for (char c : text) result = result * 10 + static_cast<uint64_t>(c - '0');
  if (result > limit) return false;
  *value = static_cast<uint32_t>(result);
  return true;
}

bool ParseScope(std::string_view text, uint32_t* scope) {
  if (text.empty() || text.size() >= IF_NAMESIZE) return false;
  if (AllDigits(text)) return ParseNumber(text, 0xFFFFFFFFu, scope) && *scope != 0;
  const std::string name(text);
  *scope = ::if_nametoindex(name.c_str());
  return *scope != 0;
}

bool IsMappedIpv4(const IpAddress& address) {
  static constexpr uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return address.family == 6 && std::memcmp(address.bytes.data(), kPrefix, 12) == 0;
}

// Peers are compared in IPv4 form (UnmapIpAddress), so a net inside
// ::ffff:0:0/96 is compared in IPv4 form too. With a prefix of 96 or more
// every one of the 96 mapping bits counts, so the net lies inside the mapped
// block exactly when its first twelve bytes are the mapping prefix.
IpNet UnmapIpNet(const IpNet& net) {
  if (net.prefixLength < 96 || !IsMappedIpv4(net.address)) return net;
  IpNet v4;
  v4.address = UnmapIpAddress(net.address);
  v4.prefixLength = net.prefixLength - 96;
  return v4;
}

// The limiter's key for a peer: a mapped peer is its IPv4 self, and the
// interface of a link-local peer does not make it another peer.
IpAddress PeerKey(const IpAddress& peer) {
  IpAddress key = UnmapIpAddress(peer);
  key.scopeId = 0;
  return key;
}

}  // namespace

bool ParseIpAddress(std::string_view text, IpAddress* address) {
  IpAddress result;
  // inet_pton takes only the four-part dotted form for IPv4, unlike
  // inet_aton, which would accept "127.1" or "0x7f.1".
  if (text.find(':') == std::string_view::npos) {
    if (text.size() >= INET_ADDRSTRLEN) return false;
    const std::string copy(text);
    if (::inet_pton(AF_INET, copy.c_str(), result.bytes.data()) != 1) return false;
    result.family = 4;
    *address = result;
    return true;
  }
  std::string_view body = text;
  const size_t percent = text.find('%');
  if (percent != std::string_view::npos) {
    body = text.substr(0, percent);
    if (!ParseScope(text.substr(percent + 1), &result.scopeId)) return false;
  }
  if (body.size() >= INET6_ADDRSTRLEN) return false;
  const std::string copy(body);
  if (::inet_pton(AF_INET6, copy.c_str(), result.bytes.data()) != 1) return false;
  result.family = 6;
  *address = result;
  return true;
}

bool ParseIpNet(std::string_view text, IpNet* net) {
  IpNet result;
  const size_t slash = text.find('/');
  const std::string_view addressText = text.substr(0, slash);
  if (addressText.find('%') != std::string_view::npos) return false;
  if (!ParseIpAddress(addressText, &result.address)) return false;
  const uint32_t bits = result.address.family == 4 ? 32 : 128;
  uint32_t prefix = bits;
  if (slash != std::string_view::npos &&
      !ParseNumber(text.substr(slash + 1), bits, &prefix)) {
    return false;
  }
  result.prefixLength = static_cast<int>(prefix);
  // No bit of the address may lie beyond the prefix.
  const size_t size = bits / 8;
  for (size_t i = 0; i < size; ++i) {
    const int first = static_cast<int>(i * 8);  // the first bit of this byte
    const int kept = std::clamp(result.prefixLength - first, 0, 8);
    const auto hostMask = static_cast<uint8_t>(0xFFu >> kept);
    if ((result.address.bytes[i] & hostMask) != 0) return false;
  }
  *net = result;
  return true;
}

IpAddress UnmapIpAddress(const IpAddress& address) {
  if (!IsMappedIpv4(address)) return address;
  IpAddress v4;
  v4.family = 4;
  std::copy_n(address.bytes.begin() + 12, 4, v4.bytes.begin());
  return v4;
}

bool IpNetContains(const IpNet& written, const IpAddress& peer) {
  const IpNet net = UnmapIpNet(written);
  const IpAddress plain = UnmapIpAddress(peer);
  if (plain.family != net.address.family) return false;
  int left = net.prefixLength;
  for (size_t i = 0; left > 0; ++i, left -= 8) {
    const auto mask = static_cast<uint8_t>(0xFFu << (8 - std::min(left, 8)));
    if ((plain.bytes[i] & mask) != (net.address.bytes[i] & mask)) return false;
  }
  return true;
}

std::string FormatIpAddress(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN + IF_NAMESIZE + 2] = {};
  const int family = address.family == 4 ? AF_INET : AF_INET6;
  if (address.family == 0 ||
      ::inet_ntop(family, address.bytes.data(), text, sizeof(text)) == nullptr) {
    return "?";
  }
  std::string result(text);
  if (address.family == 6 && address.scopeId != 0) {
    char name[IF_NAMESIZE] = {};
    result += '%';
    if (::if_indextoname(address.scopeId, name) != nullptr) {
      result += name;
    } else {
      result += std::to_string(address.scopeId);
    }
  }
  return result;
}

bool ParsePortText(std::string_view text, uint16_t* port) {
  if (text.empty()) return false;
  if (AllDigits(text)) {
    uint32_t value = 0;
    if (!ParseNumber(text, 65535, &value) || value == 0) return false;
    *port = static_cast<uint16_t>(value);
    return true;
  }
  // A service name is a word; a text that begins like a number ("31205x") or
  // holds blanks or control bytes is none.
  if (text[0] >= '0' && text[0] <= '9') return false;
  if (text.size() > 64 || std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' ||
               static_cast<unsigned char>(c) >= 0x7F;
      })) {
    return false;
  }
  const std::string name(text);
  ::servent entry{};
  ::servent* found = nullptr;
  char scratch[1024];
  if (::getservbyname_r(name.c_str(), "tcp", &entry, scratch, sizeof(scratch), &found) !=
          0 ||
      found == nullptr) {
    return false;
  }
  const auto value = ntohs(static_cast<uint16_t>(found->s_port));
  if (value == 0) return false;
  *port = value;
  return true;
}

void SocketLayer::TcpSetListenAddresses(std::vector<IpAddress> addresses) {
  MutexLock lock(configMutex_);
  listenAddresses_ = std::move(addresses);
}

std::vector<IpAddress> SocketLayer::TcpListenAddresses() {
  MutexLock lock(configMutex_);
  return listenAddresses_;
}

void SocketLayer::TcpSetAllowLists(std::vector<IpNet> allow,
                                   std::vector<IpNet> controlAllow,
                                   bool controlAllowGiven) {
  MutexLock lock(configMutex_);
  allowNets_ = std::move(allow);
  controlAllowNets_ = std::move(controlAllow);
  controlAllowSet_ = controlAllowGiven;
}

bool SocketLayer::TcpPeerAllowed(int line, const IpAddress& peer) {
  MutexLock lock(configMutex_);
  const std::vector<IpNet>& nets =
      line == 0 && controlAllowSet_ ? controlAllowNets_ : allowNets_;
  if (nets.empty() && !(line == 0 && controlAllowSet_)) return true;
  return std::any_of(nets.begin(), nets.end(),
                     [&](const IpNet& net) { return IpNetContains(net, peer); });
}

void SocketLayer::TcpSetRefusalListener(
    std::function<void(const std::string&)> listener) {
  std::shared_ptr<const std::function<void(const std::string&)>> outgoing;
  std::string pending;
  {
    MutexLock lock(refusalMutex_);
    // The count pending belongs to the listener that was in place while
    // those refusals happened; with none, they were not to be reported.
    pending = refusalLimiter_.TakeSummary();
    outgoing = std::move(refusalListener_);
    if (listener) {
      refusalListener_ = std::make_shared<const std::function<void(const std::string&)>>(
          std::move(listener));
    } else {
      refusalListener_.reset();
    }
  }
  if (outgoing != nullptr && !pending.empty()) (*outgoing)(pending);
}

bool SocketLayer::TcpCheckListenAddresses(std::string* failure) {
  for (const IpAddress& address : TcpListenAddresses()) {
    net::ListenSocket test = net::OpenListenSocket(address, 0, /*dualStack=*/false);
    if (test.fd < 0) {
      *failure = FormatIpAddress(address) + ": " + std::strerror(test.error);
      return false;
    }
    ::close(test.fd);
  }
  return true;
}

bool RefusalLimiter::MakeRoom(Clock::time_point now) {
  if (lastReport_.size() < kCapacity) return true;
  // Scanning the whole table for every refusal of a scan would be wasted
  // while nothing in it can have expired yet.
  if (now < fullUntil_) return false;
  std::erase_if(lastReport_,
                [&](const auto& entry) { return now - entry.second >= kInterval; });
  if (lastReport_.size() < kCapacity) return true;
  Clock::time_point oldest = now;
  for (const auto& entry : lastReport_) oldest = std::min(oldest, entry.second);
  fullUntil_ = oldest + kInterval;
  return false;
}

RefusalLimiter::Verdict RefusalLimiter::Admit(const IpAddress& peer,
                                              Clock::time_point now) {
  const IpAddress key = PeerKey(peer);
  Verdict verdict;
  auto found = lastReport_.find(key);
  if (found != lastReport_.end()) {
    if (now - found->second >= kInterval) {
      found->second = now;
      verdict.reportPeer = true;
    }
    // Otherwise reported within the minute: this refusal is that entry's.
  } else if (MakeRoom(now)) {
    lastReport_.emplace(key, now);
    verdict.reportPeer = true;
  } else {
    if (pendingRefusals_ == 0) pendingSince_ = now;
    ++pendingRefusals_;
    if (pendingAddresses_.size() < kSummaryAddressLimit) {
      pendingAddresses_.insert(key);
    } else if (!pendingAddresses_.contains(key)) {
      pendingAddressesOverflow_ = true;
    }
  }
  if (pendingRefusals_ != 0 && now - pendingSince_ >= kInterval) {
    verdict.summary = TakeSummary();
  }
  return verdict;
}

std::string RefusalLimiter::TakeSummary() {
  if (pendingRefusals_ == 0) return {};
  const size_t addresses = pendingAddresses_.size();
  std::string text = std::to_string(pendingRefusals_) +
                     (pendingRefusals_ == 1 ? " refusal from " : " refusals from ") +
                     (pendingAddressesOverflow_ ? "at least " : "") +
                     std::to_string(addresses) +
                     (addresses == 1 ? " more address" : " more addresses");
  pendingRefusals_ = 0;
  pendingAddresses_.clear();
  pendingAddressesOverflow_ = false;
  return text;
}

void SocketLayer::ReportRefusal(int port, const IpAddress& peer) {
  std::shared_ptr<const std::function<void(const std::string&)>> listener;
  RefusalLimiter::Verdict verdict;
  {
    MutexLock lock(refusalMutex_);
    verdict = refusalLimiter_.Admit(peer, RefusalLimiter::Clock::now());
    listener = refusalListener_;
  }
  if (listener == nullptr) return;
  // The summary first: it tells of refusals that came before this one, or
  // counts this one among them.
  if (!verdict.summary.empty()) (*listener)(verdict.summary);
  if (verdict.reportPeer) {
    // The interface name is not needed to tell peers apart.
    (*listener)("TCP port " + std::to_string(port) + " refused " +
                FormatIpAddress(PeerKey(peer)));
  }
}

}  // namespace qmx
