#include "bcrypt/key_schedule_words.h"

#include <stdexcept>

namespace hv {
namespace {

// The bit that "$2a$" flips in the first round's first word.
constexpr std::uint32_t kSafetyBit = 0x10000;

}  // namespace

BcryptKeyWords KeyScheduleWords(std::string_view key, char variant) {
  if (variant != 'a' && variant != 'b' && variant != 'x' && variant != 'y') {
    throw std::invalid_argument("not a bcrypt variant letter");
  }
  key = key.substr(0, key.find('\0'));
  BcryptKeyWords words{};
  // Whether the sign-extended words differ from the correct ones anywhere, and
  // whether a byte of 0x80 or above sat after the first of its word.
  std::uint32_t differs = 0;
  bool extended_over = false;
  std::size_t next = 0;
  for (std::size_t i = 0; i < kBcryptExpandedKeyWords; ++i) {
    std::uint32_t correct = 0;
    std::uint32_t sign_extended = 0;
    for (int j = 0; j < 4; ++j) {
      const std::uint32_t byte = next < key.size() ? static_cast<unsigned char>(key[next]) : 0U;
      const bool high = byte >= 0x80;
      correct = (correct << 8) | byte;
      // "$2x$" keeps an old bug: the byte was widened as a signed char, so a
      // high byte overwrote the bytes before it in the word.
      sign_extended = (sign_extended << 8) | (high ? byte | 0xFFFFFF00U : byte);
      if (j > 0 && high) extended_over = true;
      next = next < key.size() ? next + 1 : 0;
    }
    differs |= correct ^ sign_extended;
    words[i] = variant == 'x' ? sign_extended : correct;
  }
  // A key whose sign extension changed nothing could be reached from "$2x$"
  // keys; "$2a$" steps aside from them in the first round only.
  words[kBcryptExpandedKeyWords] = words[0];
  if (variant == 'a' && extended_over && differs == 0) words[kBcryptExpandedKeyWords] ^= kSafetyBit;
  return words;
}

}  // namespace hv
