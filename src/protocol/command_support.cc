#include "protocol/command_support.h"

#include "platform/tokenizer.h"

namespace qmx {

std::optional<std::string_view> FirstField(std::optional<std::string_view> parameter,
                                           bool limited) {
  if (!parameter || (limited && parameter->size() > kMaxParameterLength))
    return std::nullopt;
  Tokenizer fields(*parameter, kParamDelimiters);
  return fields.Next();
}

}  // namespace qmx
