// The head of an HTTP/1.x request, as the metrics endpoint reads it: the
// request line and the header lines up to the blank line that ends them.
//
// ParseHttpRequest looks at what a connection has received so far and says
// whether the head is still incomplete, malformed, too large, or complete.
// It reads at most the first kMaxRequestBytes bytes, so its work and its
// answer are bounded whatever a client sends. The answer for a received
// prefix that is not incomplete stays the same however many more bytes
// follow, so a caller may parse again after each read and act on the first
// answer that is not kIncomplete.
//
// Line ends are CR LF or a bare LF. The request line is exactly
// "METHOD SP TARGET SP HTTP/1.d"; header lines are "name:value" with a token
// name. Control bytes (other than a tab in a header value), a bare CR,
// folded header lines, a missing version and any version other than 1.x are
// malformed. Header values are checked but not kept: the endpoint needs none.
//
// Pure: any thread, no state, nothing throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qmx {

// The largest request head taken, its blank line included.
inline constexpr size_t kMaxRequestBytes = 4096;

enum class HttpParseResult {
  kIncomplete,  // more bytes are needed
  kBad,         // malformed; `problem` says why
  kTooLarge,    // no blank line within kMaxRequestBytes
  kComplete,
};

struct HttpRequestParse {
  HttpParseResult result = HttpParseResult::kIncomplete;
  std::string method;  // "GET", as sent (methods are case-sensitive)
  // The target's path: "/metrics" from "/metrics?x=1" or from
  // "http://host:9400/metrics".
  std::string path;
  int versionMajor = 0;
  int versionMinor = 0;
  size_t headBytes = 0;      // the head's length, blank line included (kComplete)
  const char* problem = "";  // what was malformed (kBad), a static text
};

HttpRequestParse ParseHttpRequest(std::string_view received);

}  // namespace qmx
