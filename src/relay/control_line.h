// Assembly of the control line's input into command lines.
//
// Bytes arrive one at a time. 0xFF (the connect marker, or a client that sends
// it) asks for the greeting; NUL is ignored; any other byte is stored and
// echoed, and a line end ends the line. CR, LF, CR LF and CR NUL each end one
// line, so nc (LF), nc -C and Telnet clients that do not negotiate (CR LF) and
// terminals (CR) all work: an LF right after a CR belongs to the same end and
// is dropped unechoed. Whatever ended the line, CR LF is echoed and stored
// after it, and the line is handed on.
//
// The line buffer holds 1000 bytes with its terminator, so at most 997
// characters fit before the CR LF. Excess characters are echoed but not
// stored, and the line they belonged to is reported as too long instead of
// being executed. A 0xFF keeps the unfinished line; the relay resets the
// buffer when the client that typed it leaves, so no client's half line is
// joined to the next client's first.
//
// Pure logic, owned by the relay thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qmx {

class ControlLineAssembler {
 public:
  static constexpr size_t kBufferSize = 1000;
  static constexpr size_t kMaxChars = kBufferSize - 3;  // room for CR, LF, NUL

  struct Sink {
    virtual ~Sink() = default;
    virtual void Greet() = 0;
    virtual void Echo(uint8_t byte) = 0;
    // A finished line, ending in CR LF, as typed (not yet lower-cased).
    virtual void Line(std::string_view line) = 0;
    // A line that was longer than the buffer; `stored` is what was kept.
    virtual void OverlongLine(std::string_view stored) = 0;
  };

  void Feed(uint8_t byte, Sink& sink);
  std::string_view Pending() const { return buffer_; }
  // Forgets the unfinished line (its client has gone).
  void Reset() {
    buffer_.clear();
    overflowed_ = false;
    afterCr_ = false;
  }

 private:
  void EndLine(Sink& sink);

  std::string buffer_;
  bool overflowed_ = false;
  bool afterCr_ = false;  // the last byte that counted was a CR
};

// Lower-cases ASCII letters, as the control line's commands are matched.
std::string LowerCaseLine(std::string_view line);

}  // namespace qmx
