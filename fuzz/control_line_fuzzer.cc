// Fuzz target: the control line's byte-by-byte assembly.
//
// The input is what clients send on the control line, byte after byte:
// greeting markers (0xFF), NULs, CRs, LFs, over-long lines, anything. The sink
// checks what the assembler hands on against the rules of control_line.h,
// kept here as a plain model of the line being typed:
//   - every 0xFF asks for one greeting and is neither echoed nor stored;
//   - NUL is dropped without a trace;
//   - an LF right after a CR (NULs between them do not count) is dropped
//     unechoed: it belongs to the CR's line end;
//   - every other byte is echoed, CR and LF as CR LF;
//   - CR or LF ends the line: a line of at most 997 characters is delivered
//     with CR LF appended, a longer one is reported as too long with its first 997
//     characters; so nothing delivered exceeds 999 bytes, and nothing holds a
//     NUL, a 0xFF or a CR before its end;
//   - an unfinished line stays pending, cut at 997 characters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "relay/control_line.h"

namespace qmx {
namespace {

constexpr size_t kMaxLine = ControlLineAssembler::kMaxChars + 2;  // with CR LF

// The delivered text must be a line: CR LF at the end and nowhere before, no
// NUL and no 0xFF.
void CheckLineShape(std::string_view line, std::string_view what) {
  const char* fault = nullptr;
  if (line.size() < 2 || !line.ends_with("\r\n")) {
    fault = " does not end in CR LF";
  } else if (line.size() > kMaxLine) {
    fault = " is longer than 999 bytes";
  } else if (line.find('\r') != line.size() - 2) {
    fault = " holds a CR before its end";
  } else if (line.find('\n') != line.size() - 1) {
    fault = " holds an LF before its end";
  } else if (line.find('\0') != std::string_view::npos) {
    fault = " holds a NUL";
  } else if (line.find('\xFF') != std::string_view::npos) {
    fault = " holds a greeting marker";
  }
  if (fault != nullptr) {
    fuzz::Fail(std::string(what) + fault,
               std::to_string(line.size()) + " bytes: \"" + fuzz::Visible(line) + "\"");
  }
}

class CheckingSink : public ControlLineAssembler::Sink {
 public:
  // Called before each byte is fed; tells the sink what that byte must cause.
  void Expect(uint8_t byte) {
    byte_ = byte;
    greetingsDue_ = 0;
    echoDue_.clear();
    lineDue_ = false;
    ending_ = false;
    if (byte == 0xFF) {
      greetingsDue_ = 1;
    } else if (byte == '\n' && afterCr_) {
      afterCr_ = false;
    } else if (byte == '\r' || byte == '\n') {
      echoDue_ = "\r\n";
      lineDue_ = true;
      ending_ = true;
      afterCr_ = byte == '\r';
      typed_ += "\r\n";
    } else if (byte != 0) {
      afterCr_ = false;
      echoDue_ = std::string(1, static_cast<char>(byte));
      typed_ += static_cast<char>(byte);
    }
  }

  // Called after the byte: everything it was to cause has happened.
  void Settle() {
    auto detail = [&] { return "after byte " + std::to_string(byte_); };
    fuzz::Require(greetingsDue_ == 0, "a greeting marker did not ask for the greeting",
                  detail);
    fuzz::Require(echoDue_.empty(), "a byte was not echoed", detail);
    fuzz::Require(!lineDue_, "a line end did not hand the line on", detail);
    if (ending_) typed_.clear();
  }

  // What stays pending after the input: the unfinished line, cut.
  std::string Pending() const {
    return typed_.substr(0, ControlLineAssembler::kMaxChars);
  }

  void Greet() override {
    fuzz::Require(greetingsDue_ == 1, "a greeting was asked for without a marker");
    greetingsDue_ = 0;
  }

  void Echo(uint8_t byte) override {
    fuzz::Require(!echoDue_.empty() && static_cast<uint8_t>(echoDue_.front()) == byte,
                  "an echo that was not due", [&] {
                    return "echoed byte " + std::to_string(byte) + ", due \"" +
                           fuzz::Visible(echoDue_) + "\"";
                  });
    echoDue_.erase(0, 1);
  }

  void Line(std::string_view line) override {
    CheckLineShape(line, "a delivered line");
    fuzz::Require(lineDue_, "a line was delivered before its end");
    fuzz::Require(typed_.size() <= kMaxLine,
                  "an over-long line was delivered as a command",
                  [&] { return std::to_string(typed_.size()) + " bytes typed"; });
    fuzz::Require(line == typed_, "the delivered line is not what was typed", [&] {
      return "delivered \"" + fuzz::Visible(line) + "\"\ntyped \"" +
             fuzz::Visible(typed_) + "\"";
    });
    const std::string lower = LowerCaseLine(line);
    fuzz::Require(lower.size() == line.size(), "lower-casing changed the line's length");
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      const char want = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      fuzz::Require(lower[i] == want, "lower-casing changed more than the letters A to Z",
                    [&] {
                      return "\"" + fuzz::Visible(line) + "\" became \"" +
                             fuzz::Visible(lower) + "\"";
                    });
    }
    lineDue_ = false;
  }

  void OverlongLine(std::string_view stored) override {
    CheckLineShape(stored, "the stored part of an over-long line");
    fuzz::Require(lineDue_, "an over-long line was reported before its end");
    fuzz::Require(typed_.size() > kMaxLine, "a line that fits was reported as too long",
                  [&] { return std::to_string(typed_.size()) + " bytes typed"; });
    const std::string kept = typed_.substr(0, ControlLineAssembler::kMaxChars) + "\r\n";
    fuzz::Require(stored == kept, "the stored part is not the start of what was typed",
                  [&] { return "stored \"" + fuzz::Visible(stored) + "\""; });
    lineDue_ = false;
  }

 private:
  std::string typed_;  // the line being typed, all of it, with CR LF once ended
  uint8_t byte_ = 0;
  int greetingsDue_ = 0;
  std::string echoDue_;
  bool lineDue_ = false;
  bool ending_ = false;   // the byte being fed ends a line
  bool afterCr_ = false;  // the last byte that counted was a CR
};

}  // namespace
}  // namespace qmx

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qmx;
  ControlLineAssembler assembler;
  CheckingSink sink;
  for (size_t i = 0; i < size; ++i) {
    sink.Expect(data[i]);
    assembler.Feed(data[i], sink);
    sink.Settle();
  }
  fuzz::Require(assembler.Pending() == sink.Pending(),
                "the unfinished line is not what was typed",
                [&] { return "pending \"" + fuzz::Visible(assembler.Pending()) + "\""; });
  return 0;
}
