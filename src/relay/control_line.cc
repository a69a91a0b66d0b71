#include "relay/control_line.h"

namespace qmx {

void ControlLineAssembler::Feed(uint8_t byte, Sink& sink) {
  if (byte == 0xFF) {
    sink.Greet();
    return;
  }
  if (byte == 0) return;  // ignored, so CR NUL (Telnet's bare CR) is a CR
  if (byte == '\n' && afterCr_) {
    afterCr_ = false;  // the LF of a CR LF line end
    return;
  }
  afterCr_ = byte == '\r';
  if (byte != '\r' && byte != '\n') {
    if (buffer_.size() < kMaxChars) {
      buffer_ += static_cast<char>(byte);
    } else {
      overflowed_ = true;
    }
    sink.Echo(byte);
    return;
  }
  EndLine(sink);
}

void ControlLineAssembler::EndLine(Sink& sink) {
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
