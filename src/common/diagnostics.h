// Diagnostic lines on standard error. Names that arrive from requests are
// printed through PrintableName, so a client cannot forge lines or flood the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace hv {

// Longest part of a name that is printed; the rest is summarised by its length.
inline constexpr std::size_t kPrintedNameLimit = 256;

// Escapes control bytes (0x00-0x1F, 0x7F) as \xHH and the backslash as \\, and
// cuts the name after kPrintedNameLimit bytes on a UTF-8 character boundary,
// appending "...(+N bytes)".
std::string PrintableName(std::string_view name);

// Writes line and a newline to standard error with a single write, so lines
// from several threads never interleave.
void WriteDiagnosticLine(std::string_view line);

}  // namespace hv
