// Turns an encoded token (a list of decimal numerals, one per byte of the
// encoded text) back into its token. Free of Node-API: the module feeds it from
// a JavaScript array, the build's table check and the tests from plain
// containers, with the same results and the same diagnostic lines.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hv {

class NumeralDecoder {
 public:
  NumeralDecoder() = default;
  ~NumeralDecoder();
  NumeralDecoder(const NumeralDecoder&) = delete;
  NumeralDecoder& operator=(const NumeralDecoder&) = delete;

  // An element that is not a string: logged, adds no byte.
  void SkipNonString(std::size_t index);

  // Appends the low 8 bits of the numeral at the start of text (leading white
  // space and one sign allowed, trailing characters ignored). Returns false
  // after logging when there is no numeral or it overflows 32 bits: decoding
  // has then failed and the remaining elements must not be read.
  bool AppendNumeral(std::string_view text);

  // Extracts key and IV, decrypts and unmasks. Returns the token, or an empty
  // string after logging why decoding failed.
  std::string Finish();

 private:
  std::string encoded_text_;
};

// Decodes a whole list; std::nullopt stands for an element that is not a string.
std::string DecodeNumerals(const std::vector<std::optional<std::string>>& elements);

}  // namespace hv
