#include "platform/tokenizer.h"

namespace qmx {

std::optional<std::string_view> Tokenizer::Next() {
  size_t start = text_.find_first_not_of(delimiters_, position_);
  if (start == std::string_view::npos) {
    position_ = text_.size();
    lastDelimiter_ = '\0';
    return std::nullopt;
  }
  size_t end = text_.find_first_of(delimiters_, start);
  if (end == std::string_view::npos) {
    position_ = text_.size();
    lastDelimiter_ = '\0';
    return text_.substr(start);
  }
  lastDelimiter_ = text_[end];
  position_ = end + 1;  // strtok overwrites the delimiter and resumes after it
  return text_.substr(start, end - start);
}

}  // namespace qmx
