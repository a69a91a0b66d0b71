// Helpers shared by the control commands.
#pragma once

#include <optional>
#include <string_view>

namespace qmx {

// Separators inside a command's parameter.
inline constexpr std::string_view kParamDelimiters = " ,\t\n";
// A parameter longer than this is refused as no parameter.
inline constexpr size_t kMaxParameterLength = 200;

// The first field of a parameter, or nothing (no parameter, or an over-long
// one when `limited`).
std::optional<std::string_view> FirstField(std::optional<std::string_view> parameter,
                                           bool limited);

}  // namespace qmx
