#include "relay/control_line.h"

namespace qmx {

void ControlLineAssembler::Feed(uint8_t byte, Sink& sink) {
  if (byte == 0xFF) {
    sink.Greet();
    return;
  }
  if (byte == 0) return;
  if (byte != '\r') {
    if (buffer_.size() < kMaxChars) {
      buffer_ += static_cast<char>(byte);
    } else {
      overflowed_ = true;
    }
    sink.Echo(byte);
    return;
  }
  buffer_ += '\r';
  sink.Echo('\r');
  sink.Echo('\n');
  buffer_ += '\n';
  if (overflowed_) {
    sink.OverlongLine(buffer_);
  } else {
    sink.Line(buffer_);
  }
  buffer_.clear();
  overflowed_ = false;
}

std::string LowerCaseLine(std::string_view line) {
  std::string out(line);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace qmx
