// Invariant checks shared by the fuzz targets.
//
// A target states what must hold for every input with Require(). A violation
// prints what failed, with the offending text made readable, and aborts:
// libFuzzer then reports a crash and keeps the input as an artifact, exactly
// as for a sanitizer finding.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace qmx::fuzz {

// The text with control bytes and bytes above 0x7E written as \r, \n, \t or
// \xHH, so a report shows exactly what a line held.
inline std::string Visible(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (byte < 0x20 || byte > 0x7E) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

[[noreturn]] inline void Fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "\n*** invariant violated: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::fflush(stderr);
  std::abort();
}

inline void Require(bool holds, std::string_view what) {
  if (!holds) Fail(what, {});
}

// With a detail that is made only when the check fails, so that checks on a
// hot path cost nothing when they hold: Require(ok, "what", [&] { return text; }).
template <typename MakeDetail>
inline void Require(bool holds, std::string_view what, MakeDetail&& makeDetail) {
  if (!holds) Fail(what, makeDetail());
}

}  // namespace qmx::fuzz
