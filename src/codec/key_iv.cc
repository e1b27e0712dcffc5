#include "codec/key_iv.h"

#include <algorithm>

namespace hv {
namespace {

// Each group is five outer-text bytes followed by four key or IV bytes; once a
// group's four bytes are removed the next group starts five bytes further on.
constexpr std::size_t kFirstGroupOffset = 5;
constexpr std::size_t kGroupStride = 5;
constexpr std::size_t kGroupBytes = 4;

void TakeGroup(std::string& text, std::size_t pos, std::string& into) {
  const std::size_t count = std::min(kGroupBytes, text.size() - pos);
  into.append(text, pos, count);
  text.erase(pos, count);
}

}  // namespace

std::pair<std::string, std::string> ExtractKeyIV(std::string& text, std::string& rest) {
  std::string key;
  std::string iv;
  std::size_t pos = kFirstGroupOffset;

  while (pos < text.size()) {
    TakeGroup(text, pos, key);
    pos += kGroupStride;
    if (key.size() >= kAesKeyBytes) break;
  }
  while (iv.size() < kAesIvBytes && pos < text.size()) {
    TakeGroup(text, pos, iv);
    pos += kGroupStride;
  }

  rest = text;
  return {std::move(key), std::move(iv)};
}

}  // namespace hv
