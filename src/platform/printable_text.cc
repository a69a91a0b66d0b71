#include "platform/printable_text.h"

#include <cstddef>
#include <cstdint>

namespace qmx {
namespace {

// Length of the well-formed UTF-8 character of more than one byte that starts
// at text[at], or 0 when the bytes there are not one (overlong forms,
// surrogates and code points past U+10FFFF are not) or encode a C1 control.
size_t Utf8CharLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  uint32_t code = 0;
  uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = byte(at + i);
    if ((next & 0xC0u) != 0x80u) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF) return 0;
  if (code >= 0xD800 && code <= 0xDFFF) return 0;
  if (code <= 0x9F) return 0;  // U+0080..U+009F: C1 controls
  return length;
}

}  // namespace

std::string PrintableText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const auto c = static_cast<uint8_t>(text[at]);
    if (c == '\\') {
      out += "\\\\";
      ++at;
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++at;
    } else if (size_t length = c >= 0x80 ? Utf8CharLength(text, at) : 0; length > 0) {
      out.append(text.substr(at, length));
      at += length;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
      ++at;
    }
  }
  return out;
}

}  // namespace qmx
