// Fixed-width text fields.
//
// The shared records keep their texts in fixed NUL-terminated char arrays.
// Every copy into one goes through CopyField, which cuts the text at the
// field's width (width - 1 characters and the terminator), so no field can be
// overrun whatever a client, a settings file or the window hands in.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace qmx {

template <size_t N>
void CopyField(char (&field)[N], std::string_view text) {
  static_assert(N > 0);
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  if (n > 0) std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

template <size_t N>
void ClearField(char (&field)[N]) {
  field[0] = '\0';
}

template <size_t N>
std::string_view FieldText(const char (&field)[N]) {
  return std::string_view(field, ::strnlen(field, N));
}

}  // namespace qmx
