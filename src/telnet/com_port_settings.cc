#include "telnet/com_port_settings.h"

#include <array>
#include <charconv>
#include <climits>

#include "telnet/telnet_codes.h"

namespace qmx::telnet {
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

// A whole item as a decimal int, nothing before or after it.
std::optional<int> ParseNumber(std::string_view text) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || next != end) return std::nullopt;
  return value;
}

}  // namespace

char ParityLetter(uint8_t parity) {
  switch (parity) {
    case kParityNone:
      return 'n';
    case kParityOdd:
      return 'o';
    case kParityEven:
      return 'e';
    case kParityMark:
      return 'm';
    case kParitySpace:
      return 's';
    default:
      return '\0';
  }
}

std::optional<uint8_t> ParityCode(char letter) {
  switch (letter) {
    case 'n':
    case 'N':
      return kParityNone;
    case 'o':
    case 'O':
      return kParityOdd;
    case 'e':
    case 'E':
      return kParityEven;
    case 'm':
    case 'M':
      return kParityMark;
    case 's':
    case 'S':
      return kParitySpace;
    default:
      return std::nullopt;
  }
}

std::string_view StopText(uint8_t stopSize) {
  switch (stopSize) {
    case kStopOne:
      return "1";
    case kStopTwo:
      return "2";
    case kStopOneAndHalf:
      return "1.5";
    default:
      return {};
  }
}

std::optional<uint8_t> StopCode(std::string_view text) {
  if (text == "1") return kStopOne;
  if (text == "2") return kStopTwo;
  if (text == "1.5") return kStopOneAndHalf;
  return std::nullopt;
}

std::optional<ComPortSettings> SettingsFromDefinition(std::string_view definition) {
  std::array<std::string_view, 4> items;
  size_t count = 0;
  for (;;) {
    const size_t comma = definition.find(',');
    if (count == items.size()) return std::nullopt;  // a fifth item
    items[count++] = Trim(definition.substr(0, comma));
    if (comma == std::string_view::npos) break;
    definition.remove_prefix(comma + 1);
  }
  if (count != items.size()) return std::nullopt;

  const std::optional<int> baud = ParseNumber(items[0]);
  const std::optional<uint8_t> parity =
      items[1].size() == 1 ? ParityCode(items[1].front()) : std::nullopt;
  const std::optional<int> data = ParseNumber(items[2]);
  const std::optional<uint8_t> stop = StopCode(items[3]);
  if (!baud || *baud <= 0 || !parity || !data || *data < 5 || *data > 8 || !stop) {
    return std::nullopt;
  }
  return ComPortSettings{static_cast<uint32_t>(*baud), static_cast<uint8_t>(*data),
                         *parity, *stop};
}

std::optional<std::string> DefinitionFromSettings(const ComPortSettings& settings) {
  const char parity = ParityLetter(settings.parity);
  const std::string_view stop = StopText(settings.stopSize);
  if (settings.baudRate == 0 || settings.baudRate > static_cast<uint32_t>(INT_MAX) ||
      settings.dataSize < 5 || settings.dataSize > 8 || parity == '\0' || stop.empty()) {
    return std::nullopt;
  }
  std::string text = std::to_string(settings.baudRate);
  text += ',';
  text += parity;
  text += ',';
  text += static_cast<char>('0' + settings.dataSize);
  text += ',';
  text += stop;
  return text;
}

uint8_t FlowControlCode(std::string_view flow, bool inbound) {
  const char letter = flow.empty() ? 'n' : flow.front();
  if (letter == 'h') return inbound ? kControlInboundFlowHardware : kControlFlowHardware;
  if (letter == 'x') return inbound ? kControlInboundFlowXonXoff : kControlFlowXonXoff;
  return inbound ? kControlInboundFlowNone : kControlFlowNone;
}

char FlowLetter(uint8_t control) {
  switch (control) {
    case kControlFlowNone:
    case kControlInboundFlowNone:
      return 'n';
    case kControlFlowXonXoff:
    case kControlInboundFlowXonXoff:
      return 'x';
    case kControlFlowHardware:
    case kControlInboundFlowHardware:
      return 'h';
    default:
      return '\0';
  }
}

}  // namespace qmx::telnet
