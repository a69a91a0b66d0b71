// Tokenizer: splits a text into fields at any of a set of delimiter bytes,
// with the rules of the C library's strtok but without its hidden state.
//
// Runs of delimiters count as one; delimiters before the first field are
// skipped; a field ends at the next delimiter; an empty field cannot occur.
// Unlike strtok, the input is not modified: fields are views into it, and
// Rest() gives what follows the delimiter that ended the last field.
#pragma once

#include <optional>
#include <string_view>

namespace qmx {

class Tokenizer {
 public:
  Tokenizer(std::string_view text, std::string_view delimiters)
      : text_(text), delimiters_(delimiters) {}

  // The next field, or nothing when only delimiters (or nothing) remain.
  std::optional<std::string_view> Next();

  // Text after the delimiter that ended the last field (empty when the field
  // ended the text). This is where strtok would resume.
  std::string_view Rest() const { return text_.substr(position_); }

  // The delimiter byte that ended the last field, or '\0' when the field ran
  // to the end of the text.
  char LastDelimiter() const { return lastDelimiter_; }

 private:
  std::string_view text_;
  std::string_view delimiters_;
  size_t position_ = 0;
  char lastDelimiter_ = '\0';
};

}  // namespace qmx
