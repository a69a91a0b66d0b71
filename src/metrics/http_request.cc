#include "metrics/http_request.h"

#include <cctype>

namespace qmx {
namespace {

bool IsTokenChar(char c) {
  if (std::isalnum(static_cast<unsigned char>(c)) != 0) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

// The path of a request target: origin form ("/metrics?x") up to its query;
// absolute form ("http://host/metrics") without scheme and authority; "*"
// as itself. False for anything else (the authority form belongs to
// CONNECT, which is never served).
bool TargetPath(std::string_view target, std::string_view* path) {
  if (target == "*") {
    *path = target;
    return true;
  }
  for (std::string_view scheme : {"http://", "https://"}) {
    if (!StartsWithNoCase(target, scheme)) continue;
    target.remove_prefix(scheme.size());
    const size_t slash = target.find_first_of("/?");
    target = slash == std::string_view::npos ? "/" : target.substr(slash);
    if (target.front() == '?') target = "/";
    break;
  }
  if (target.front() != '/') return false;
  *path = target.substr(0, target.find('?'));
  return true;
}

struct RequestLine {
  std::string_view method;
  std::string_view path;
  int major = 0;
  int minor = 0;
};

// Parses "METHOD SP TARGET SP HTTP/1.d"; the problem, or nullptr when good.
const char* ParseRequestLine(std::string_view line, RequestLine* out) {
  if (line.empty()) return "empty request line";
  for (char c : line) {
    if (IsControl(c)) return "control byte in the request line";
    if (static_cast<unsigned char>(c) > 0x7E) return "request line is not ASCII";
  }
  const size_t first = line.find(' ');
  if (first == std::string_view::npos) return "request line without a target";
  out->method = line.substr(0, first);
  if (!IsToken(out->method)) return "method is not a token";
  std::string_view rest = line.substr(first + 1);
  const size_t second = rest.find(' ');
  if (second == std::string_view::npos) return "missing HTTP version";
  const std::string_view target = rest.substr(0, second);
  const std::string_view version = rest.substr(second + 1);
  if (target.empty()) return "empty target";
  if (!TargetPath(target, &out->path)) return "target is not a path";
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" ||
      std::isdigit(static_cast<unsigned char>(version[5])) == 0 || version[6] != '.' ||
      std::isdigit(static_cast<unsigned char>(version[7])) == 0) {
    return "malformed HTTP version";
  }
  out->major = version[5] - '0';
  out->minor = version[7] - '0';
  if (out->major != 1) return "unsupported HTTP version";
  return nullptr;
}

// Checks "name:value"; the problem, or nullptr when good.
const char* CheckHeaderLine(std::string_view line) {
  if (line.front() == ' ' || line.front() == '\t') return "folded header line";
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return "header line without a colon";
  if (!IsToken(line.substr(0, colon))) return "header name is not a token";
  for (char c : line.substr(colon + 1)) {
    if (IsControl(c) && c != '\t') return "control byte in a header";
  }
  return nullptr;
}

HttpRequestParse Ended(HttpParseResult result, const char* problem = "") {
  HttpRequestParse parse;
  parse.result = result;
  parse.problem = problem;
  return parse;
}

}  // namespace

HttpRequestParse ParseHttpRequest(std::string_view received) {
  // Nothing past the limit is looked at: a head that needs it is too large
  // whatever it holds.
  const std::string_view head = received.substr(0, kMaxRequestBytes);
  RequestLine request;
  bool haveRequestLine = false;
  size_t at = 0;
  for (;;) {
    const size_t end = head.find('\n', at);
    if (end == std::string_view::npos) break;
    std::string_view line = head.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    const char* problem = nullptr;
    if (!haveRequestLine) {
      problem = ParseRequestLine(line, &request);
      haveRequestLine = true;
    } else if (line.empty()) {
      HttpRequestParse parse = Ended(HttpParseResult::kComplete);
      parse.method = request.method;
      parse.path = request.path;
      parse.versionMajor = request.major;
      parse.versionMinor = request.minor;
      parse.headBytes = at;
      return parse;
    } else {
      problem = CheckHeaderLine(line);
    }
    if (problem != nullptr) return Ended(HttpParseResult::kBad, problem);
  }
  return Ended(received.size() >= kMaxRequestBytes ? HttpParseResult::kTooLarge
                                                   : HttpParseResult::kIncomplete);
}

}  // namespace qmx
