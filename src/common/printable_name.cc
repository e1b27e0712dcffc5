#include "common/printable_name.h"

namespace hv {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point of a two- or three-byte sequence at name[i] that is printed
// as \uHHHH, or 0.
unsigned EscapedCodePoint(std::string_view name, std::size_t i) {
  const auto at = [&](std::size_t k) {
    return k < name.size() ? static_cast<unsigned char>(name[k]) : 0u;
  };
  const unsigned b0 = at(i);
  const unsigned b1 = at(i + 1);
  if (b0 == 0xC2 && b1 >= 0x80 && b1 <= 0x9F) return b1;  // U+0080-U+009F are C2 80-C2 9F
  if (b0 == 0xD8 && b1 == 0x9C) return 0x061C;
  const unsigned b2 = at(i + 2);
  if (b0 != 0xE2 || (b1 & 0xC0u) != 0x80 || (b2 & 0xC0u) != 0x80) return 0;
  const unsigned code = 0x2000u | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
  const bool escaped = code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
                       (code >= 0x2066 && code <= 0x2069);
  return escaped ? code : 0;
}

void AppendHexByte(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

void AppendUnicodeEscape(std::string& out, unsigned code) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0x0F];
}

}  // namespace

std::string PrintableName(std::string_view name) { return PrintableName(name, name.size()); }

std::string PrintableName(std::string_view start, std::size_t size) {
  std::size_t shown = start.size();
  if (size > kPrintedNameLimit) {
    shown = kPrintedNameLimit;
    // Back up to the start of the character that the limit would split.
    while (shown > 0 && shown < start.size() &&
           IsUtf8Continuation(static_cast<unsigned char>(start[shown]))) {
      --shown;
    }
    if (shown > start.size()) shown = start.size();
  }

  std::string out;
  out.reserve(shown + 24);
  for (std::size_t i = 0; i < shown; ++i) {
    const auto byte = static_cast<unsigned char>(start[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '\'') {
      AppendHexByte(out, byte);
    } else if (byte == '\\') {
      out += "\\\\";
    } else if (const unsigned code = EscapedCodePoint(start.substr(0, shown), i); code != 0) {
      AppendUnicodeEscape(out, code);
      i += code < 0x800 ? 1 : 2;
    } else {
      out += static_cast<char>(byte);
    }
  }
  if (shown < size) {
    out += "...(+";
    out += std::to_string(size - shown);
    out += " bytes)";
  }
  return out;
}

}  // namespace hv
