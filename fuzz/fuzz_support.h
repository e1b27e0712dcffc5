// Shared by the fuzz targets: a check that aborts (so libFuzzer keeps the input
// and the replay tests fail), and reference models the targets compare the core
// against. The models are written from the documented rules, not from the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codec/aes256cbc.h"
#include "codec/base64.h"
#include "codec/key_iv.h"
#include "codec/token_mask.h"

// Names the broken property only: inputs may hold secrets, so none is printed.
#define HV_FUZZ_CHECK(condition)                                               \
  do {                                                                         \
    if (!(condition)) ::hv::fuzz::CheckFailed(__FILE__, __LINE__, #condition); \
  } while (false)

namespace hv::fuzz {

[[noreturn]] inline void CheckFailed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
  std::abort();
}

// A NUL-terminated copy in a heap block of exactly its size, so that a read one
// byte past the terminator is caught by AddressSanitizer (std::string keeps
// spare capacity behind its terminator).
class ExactCString {
 public:
  explicit ExactCString(std::string_view s) : data_(new char[s.size() + 1]) {
    if (!s.empty()) std::memcpy(data_.get(), s.data(), s.size());
    data_[s.size()] = '\0';
  }
  const char* get() const { return data_.get(); }

 private:
  std::unique_ptr<char[]> data_;
};

// The messages the codec may raise; anything else is a fault.
inline bool IsCodecMessage(std::string_view message) {
  return message == "Base64 decoding failed" ||
         message == "Encoded text too short for key and IV" ||
         message == "Failed to create EVP_CIPHER_CTX" ||
         message == "Failed to initialize AES-256-CBC decryption" ||
         message == "AES decryption failed" || message == "AES decryption finalization failed";
}

// Base 10 with leading white space, one optional sign and trailing characters
// ignored; no digit or a value outside 32 bits is a failure.
inline std::optional<int> ParseNumeral(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::strchr(" \t\n\v\f\r", text[i]) != nullptr && text[i] != '\0') {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t first_digit = i;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > (std::int64_t{1} << 32)) return std::nullopt;
  }
  if (i == first_digit) return std::nullopt;
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int>(value);
}

struct ChainResult {
  std::string token;  // empty after a failure
  std::string error;  // the runtime error's message, empty on success
};

// The steps after the walk, called one by one as the decoder runs them.
inline ChainResult RunChain(const std::string& encoded_text) {
  ChainResult result;
  std::string text = encoded_text;
  std::string outer;
  try {
    const auto [key, iv] = ExtractKeyIV(text, outer);
    const std::string ciphertext = Base64Decode(outer);
    const std::string inner = DecryptAES256CBC(ciphertext, key, iv);
    std::string token = Base64Decode(inner);
    for (char& byte : token) byte = static_cast<char>(byte ^ static_cast<char>(kTokenMask));
    result.token = std::move(token);
  } catch (const std::runtime_error& e) {
    result.error = e.what();
  }
  return result;
}

}  // namespace hv::fuzz
