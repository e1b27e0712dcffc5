#include "codec/numeral_decoder.h"

#include <openssl/crypto.h>

#include <exception>
#include <string>

#include "codec/aes256cbc.h"
#include "codec/base64.h"
#include "codec/key_iv.h"
#include "codec/token_mask.h"
#include "common/diagnostics.h"

namespace hv {
namespace {

// Intermediate texts carry the token in some form; clear them before release.
void Wipe(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

class Wiped {
 public:
  explicit Wiped(std::string& s) : s_(s) {}
  ~Wiped() { Wipe(s_); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  std::string& s_;
};

}  // namespace

NumeralDecoder::~NumeralDecoder() { Wipe(encoded_text_); }

void NumeralDecoder::SkipNonString(std::size_t index) {
  WriteDiagnosticLine("Non-string value in ASCII array at index " + std::to_string(index));
}

bool NumeralDecoder::AppendNumeral(std::string_view text) {
  try {
    const int value = std::stoi(std::string(text));
    encoded_text_.push_back(static_cast<char>(static_cast<unsigned int>(value) & 0xFFu));
    return true;
  } catch (const std::exception& e) {
    WriteDiagnosticLine(std::string("Error decoding ASCII array: ") + e.what());
    Wipe(encoded_text_);
    return false;
  }
}

std::string NumeralDecoder::Finish() {
  try {
    std::string outer;
    Wiped wipe_outer(outer);
    auto [key, iv] = ExtractKeyIV(encoded_text_, outer);
    Wiped wipe_key(key);
    Wiped wipe_iv(iv);

    std::string ciphertext = Base64Decode(outer);
    Wiped wipe_ciphertext(ciphertext);
    std::string inner = DecryptAES256CBC(ciphertext, key, iv);
    Wiped wipe_inner(inner);
    std::string token = Base64Decode(inner);
    for (char& byte : token) byte = static_cast<char>(byte ^ static_cast<char>(kTokenMask));
    Wipe(encoded_text_);
    return token;
  } catch (const std::exception& e) {
    WriteDiagnosticLine(std::string("Error during processing: ") + e.what());
    Wipe(encoded_text_);
    return std::string();
  }
}

std::string DecodeNumerals(const std::vector<std::optional<std::string>>& elements) {
  NumeralDecoder decoder;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (!elements[i]) {
      decoder.SkipNonString(i);
    } else if (!decoder.AppendNumeral(*elements[i])) {
      return std::string();
    }
  }
  return decoder.Finish();
}

}  // namespace hv
