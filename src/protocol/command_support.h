// Helpers shared by the control commands (relay thread, engineLock held).
#pragma once

#include <optional>
#include <string_view>

namespace qmx {

// Separators inside a command's parameter.
inline constexpr std::string_view kParamDelimiters = " ,\t\n";
// A parameter longer than this is refused as no parameter.
inline constexpr size_t kMaxParameterLength = 200;

// Index of the configured port (comSettings) with this name, or -1.
int FindConfiguredPort(std::string_view name);

// Makes data line L listen if its listener does not actually run: on its
// configured TCP port (the TCP port text when that is a port number, else the
// socket record's port), with its send queue allocated. Returns true when the
// line listens afterwards.
bool EnsureDataListener(int L);

}  // namespace qmx
