#include "serial/line_settings.h"

#include <array>
#include <charconv>
#include <climits>

namespace qmx {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// A whole item as a decimal number, nothing before or after it.
std::optional<int> ParseNumber(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || next != end) return std::nullopt;
  return value;
}

std::optional<Parity> ParseParity(std::string_view text) {
  if (text.size() != 1) return std::nullopt;
  switch (text.front()) {
    case 'n':
    case 'N':
      return Parity::kNone;
    case 'o':
    case 'O':
      return Parity::kOdd;
    case 'e':
    case 'E':
      return Parity::kEven;
    case 'm':
    case 'M':
      return Parity::kMark;
    case 's':
    case 'S':
      return Parity::kSpace;
    default:
      return std::nullopt;
  }
}

std::optional<StopBits> ParseStopBits(std::string_view text) {
  if (text == "1") return StopBits::kOne;
  if (text == "1.5") return StopBits::kOneAndHalf;
  if (text == "2") return StopBits::kTwo;
  return std::nullopt;
}

}  // namespace

std::optional<LineSettings> ParseDefinition(std::string_view text) {
  // Exactly four items; an empty one is malformed, not skipped.
  std::array<std::string_view, 4> items;
  size_t count = 0;
  for (;;) {
    size_t comma = text.find(',');
    if (count == items.size()) return std::nullopt;
    items[count++] = Trim(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  if (count != items.size()) return std::nullopt;

  std::optional<int> baud = ParseNumber(items[0]);
  std::optional<Parity> parity = ParseParity(items[1]);
  std::optional<int> dataBits = ParseNumber(items[2]);
  std::optional<StopBits> stopBits = ParseStopBits(items[3]);
  if (!baud || *baud <= 0 || !parity || !dataBits || *dataBits < 5 || *dataBits > 8 ||
      !stopBits) {
    return std::nullopt;
  }
  return LineSettings{*baud, *parity, *dataBits, *stopBits};
}

FlowControl FlowFromText(std::string_view flow) {
  if (flow.empty()) return FlowControl::kNone;
  if (flow.front() == 'h') return FlowControl::kHardware;
  if (flow.front() == 'x') return FlowControl::kXonXoff;
  return FlowControl::kNone;
}

int StopBitsTraceValue(StopBits stopBits) { return stopBits == StopBits::kOne ? 1 : 2; }

}  // namespace qmx
