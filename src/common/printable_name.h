// Names that arrive from requests, made safe to print on a log line: nothing
// in a name can end the line, forge another, reorder what a terminal shows or
// blur where the name ends, and no name can flood the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace hv {

// Longest part of a name that is printed; the rest is summarised by its length.
inline constexpr std::size_t kPrintedNameLimit = 256;

// Escapes, in a name of valid UTF-8:
// - control bytes 0x00-0x1F and 0x7F, and the quote ', as \xHH;
// - the backslash as \\;
// - the C1 controls U+0080-U+009F (NEL among them), the line and paragraph
//   separators U+2028 and U+2029 and the bidirectional controls (U+061C,
//   U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) as \uHHHH.
// Cuts the name after kPrintedNameLimit bytes on a character boundary and
// appends "...(+N bytes)".
std::string PrintableName(std::string_view name);

// The same for a name of which only the start is at hand: `size` is the whole
// name's length in bytes, and `start` holds at least its first
// kPrintedNameLimit + 4 bytes, or all of it.
std::string PrintableName(std::string_view start, std::size_t size);

}  // namespace hv
