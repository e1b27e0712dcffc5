#include "codec/numeral_decoder.h"

#include <exception>
#include <string>

#include "codec/aes256cbc.h"
#include "codec/base64.h"
#include "codec/key_iv.h"
#include "codec/token_mask.h"
#include "common/diagnostics.h"
#include "common/wipe.h"

namespace hv {

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
    // Every intermediate text carries the token in some form.
    std::string outer;
    WipeOnExit wipe_outer(outer);
    auto [key, iv] = ExtractKeyIV(encoded_text_, outer);
    WipeOnExit wipe_key(key);
    WipeOnExit wipe_iv(iv);

    std::string ciphertext = Base64Decode(outer);
    WipeOnExit wipe_ciphertext(ciphertext);
    std::string inner = DecryptAES256CBC(ciphertext, key, iv);
    WipeOnExit wipe_inner(inner);
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
