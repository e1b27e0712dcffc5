// The 32-bit words that bcrypt's key schedule takes from a key, as libxcrypt
// computes them for each variant. Two keys with the same words under a variant
// are one key under it: a code made from one validates for the other. The
// table tools compare tokens by these words, never by their bytes alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace hv {

inline constexpr std::size_t kBcryptExpandedKeyWords = 18;

// The 18 words XORed into the P-array in every round of the key schedule
// (the key's bytes and its terminating NUL, cycled over 72 bytes), then the
// first word of the first round: the same as the first of the 18, except where
// "$2a$" flips one bit of it (libxcrypt's guard against "$2x$" collisions).
using BcryptKeyWords = std::array<std::uint32_t, kBcryptExpandedKeyWords + 1>;

// key is read up to its first NUL, as crypt_rn reads it. variant is the
// letter after "$2": 'a', 'b', 'x' or 'y'; any other throws
// std::invalid_argument. The result is key material: wipe it after use.
BcryptKeyWords KeyScheduleWords(std::string_view key, char variant);

}  // namespace hv
