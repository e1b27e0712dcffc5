// Separates the AES key and IV from an encoded text, where they sit
// interleaved with the outer text in groups of four bytes.
#pragma once

#include <string>
#include <utility>

namespace hv {

inline constexpr std::size_t kAesKeyBytes = 32;
inline constexpr std::size_t kAesIvBytes = 16;

// Removes the key and IV bytes from text in place, copies what remains (the
// outer text) into rest and returns {key, iv}. A short text yields a short key
// and IV; lengths are checked where they are used.
std::pair<std::string, std::string> ExtractKeyIV(std::string& text, std::string& rest);

}  // namespace hv
