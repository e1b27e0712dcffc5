#include "codec/key_iv.h"

#include <algorithm>

namespace hv {
namespace {

// Each group is kOuterTextBytesPerGroup outer-text bytes (5) followed by
// kKeyIvBytesPerGroup key or IV bytes (4); once a group's key or IV bytes are
// removed the next group starts kOuterTextBytesPerGroup bytes further on.
constexpr std::size_t kFirstGroupOffset = kOuterTextBytesPerGroup;
constexpr std::size_t kGroupStride = kOuterTextBytesPerGroup;
constexpr std::size_t kGroupBytes = kKeyIvBytesPerGroup;

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
