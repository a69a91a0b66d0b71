// Fuzz target: the metrics endpoint's request-head parser.
//
// The input is what a client sent. The parser's answer must fit the input
// (a complete head ends with a line feed within the limit; too large only
// from the limit on, incomplete only below it; a bad head says why), a
// complete head's method, path and version must be what the server may act
// on, and the answer must not depend on where the reads ended: an answer
// given for a prefix that is not "incomplete" stays the answer for every
// longer input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "metrics/http_request.h"

namespace qmx {
namespace {

bool SameAnswer(const HttpRequestParse& a, const HttpRequestParse& b) {
  return a.result == b.result && a.method == b.method && a.path == b.path &&
         a.versionMajor == b.versionMajor && a.versionMinor == b.versionMinor &&
         a.headBytes == b.headBytes && std::string_view(a.problem) == b.problem;
}

void CheckAnswer(std::string_view input, const HttpRequestParse& p) {
  auto show = [&] { return fuzz::Visible(input.substr(0, 300)); };
  switch (p.result) {
    case HttpParseResult::kIncomplete:
      fuzz::Require(input.size() < kMaxRequestBytes, "incomplete at the limit", show);
      break;
    case HttpParseResult::kTooLarge:
      fuzz::Require(input.size() >= kMaxRequestBytes, "too large below the limit", show);
      break;
    case HttpParseResult::kBad:
      fuzz::Require(*p.problem != '\0', "bad without a reason", show);
      break;
    case HttpParseResult::kComplete: {
      fuzz::Require(p.headBytes > 0 &&
                        p.headBytes <= std::min(input.size(), kMaxRequestBytes) &&
                        input[p.headBytes - 1] == '\n',
                    "head does not end with a line end within the limit", show);
      fuzz::Require(
          !p.method.empty() && p.method.find_first_of(" \t\r\n") == std::string::npos,
          "method is not a word", show);
      fuzz::Require(p.path == "*" || (!p.path.empty() && p.path[0] == '/'),
                    "path does not start with a slash", show);
      for (char c : p.path) {
        const auto byte = static_cast<unsigned char>(c);
        fuzz::Require(byte > 0x20 && byte < 0x7F && c != '?',
                      "path holds a byte it may not", show);
      }
      fuzz::Require(p.versionMajor == 1 && p.versionMinor >= 0 && p.versionMinor <= 9,
                    "version other than 1.x", show);
      break;
    }
  }
}

}  // namespace
}  // namespace qmx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmx;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const HttpRequestParse whole = ParseHttpRequest(input);
  CheckAnswer(input, whole);
  // A few prefixes, cut where the input's first bytes say.
  for (size_t k = 0; k < std::min<size_t>(size, 8); ++k) {
    const size_t cut = (static_cast<size_t>(data[k]) * 131 + k * 17) % (size + 1);
    const HttpRequestParse early = ParseHttpRequest(input.substr(0, cut));
    CheckAnswer(input.substr(0, cut), early);
    fuzz::Require(
        early.result == HttpParseResult::kIncomplete || SameAnswer(early, whole),
        "answer changed when more bytes came", [&] {
          return fuzz::Visible(input.substr(0, 300)) + "\ncut at " + std::to_string(cut);
        });
  }
  return 0;
}
