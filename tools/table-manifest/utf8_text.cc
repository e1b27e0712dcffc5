#include "utf8_text.h"

#include <cstdint>

namespace hv {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

void AppendCodePoint(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string AsUtf8Text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::uint32_t code = 0;
  int needed = 0;
  int seen = 0;
  unsigned lower = 0x80;
  unsigned upper = 0xBF;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned byte = static_cast<unsigned char>(bytes[i]);
    if (needed == 0) {
      if (byte <= 0x7F) {
        out += static_cast<char>(byte);
      } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed = 1;
        code = byte & 0x1F;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower = 0xA0;
        if (byte == 0xED) upper = 0x9F;  // no surrogates
        needed = 2;
        code = byte & 0x0F;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower = 0x90;
        if (byte == 0xF4) upper = 0x8F;  // nothing above U+10FFFF
        needed = 3;
        code = byte & 0x07;
      } else {
        out += kReplacement;
      }
      continue;
    }
    if (byte < lower || byte > upper) {
      // The sequence so far is one bad subpart; this byte starts afresh.
      code = 0;
      needed = seen = 0;
      lower = 0x80;
      upper = 0xBF;
      out += kReplacement;
      --i;
      continue;
    }
    lower = 0x80;
    upper = 0xBF;
    code = (code << 6) | (byte & 0x3F);
    if (++seen == needed) {
      AppendCodePoint(out, code);
      code = 0;
      needed = seen = 0;
    }
  }
  if (needed != 0) out += kReplacement;
  return out;
}

}  // namespace hv
