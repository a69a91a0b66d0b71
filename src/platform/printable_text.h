// PrintableText: a text made safe for a line of a log or a terminal.
//
// Pure function, callable from any thread. Texts that come from files or
// clients may hold any byte; written to standard error (the journal, when the
// server runs as a service) a control byte could move the cursor, end the
// line early or fake a second entry. PrintableText keeps printable ASCII and
// well-formed UTF-8 characters (the server's own texts use them, such as the
// ideographic space of its messages) and writes every other byte as \xNN with
// two lower-case hex digits; a backslash becomes \\ so that the result reads
// back without ambiguity. Control characters, DEL, the C1 controls encoded in
// UTF-8, and bytes that do not form a well-formed UTF-8 character are escaped.
#pragma once

#include <string>
#include <string_view>

namespace qmx {

std::string PrintableText(std::string_view text);

}  // namespace qmx
