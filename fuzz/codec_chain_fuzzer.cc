// The encoded-token chain on arbitrary bytes: ExtractKeyIV, Base64Decode,
// DecryptAES256CBC, Base64Decode and the unmasking, then the same bytes through
// the numeral decoder, which must agree with the chain. Inputs long enough to
// hold a key, an IV and a token are also encoded the way the producer does it
// and must decode back to that token.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/numeral_decoder.h"
#include "fuzz_support.h"
#include "test_encoding.h"

namespace {

using hv::fuzz::RunChain;

// Puts the outer text and the key and IV bytes back in their twelve groups.
std::string Interleave(const std::string& outer, const std::string& key_iv) {
  std::string text;
  for (std::size_t g = 0; g < 12; ++g) {
    if (5 * g < outer.size()) text += outer.substr(5 * g, 5);
    if (4 * g < key_iv.size()) text += key_iv.substr(4 * g, 4);
  }
  if (outer.size() > 60) text += outer.substr(60);
  return text;
}

void CheckKeyIvSplit(const std::string& input) {
  std::string text = input;
  std::string rest = "stale";
  const auto [key, iv] = hv::ExtractKeyIV(text, rest);
  HV_FUZZ_CHECK(rest == text);
  HV_FUZZ_CHECK(key.size() <= hv::kAesKeyBytes && iv.size() <= hv::kAesIvBytes);
  HV_FUZZ_CHECK(iv.empty() || key.size() == hv::kAesKeyBytes);
  HV_FUZZ_CHECK(key.size() + iv.size() + rest.size() == input.size());
  if (input.size() >= 108) {
    HV_FUZZ_CHECK(key.size() == hv::kAesKeyBytes && iv.size() == hv::kAesIvBytes);
  }
  if (input.size() <= 5) HV_FUZZ_CHECK(key.empty() && rest == input);
  HV_FUZZ_CHECK(Interleave(rest, key + iv) == input);
}

std::vector<std::optional<std::string>> AsNumerals(const std::string& bytes) {
  std::vector<std::optional<std::string>> numerals;
  numerals.reserve(bytes.size());
  for (char c : bytes) numerals.emplace_back(std::to_string(static_cast<unsigned char>(c)));
  return numerals;
}

void CheckChain(const std::string& input) {
  const hv::fuzz::ChainResult result = RunChain(input);
  if (!result.error.empty()) {
    HV_FUZZ_CHECK(hv::fuzz::IsCodecMessage(result.error));
    HV_FUZZ_CHECK(result.token.empty());
    // Short key or IV material must be refused, never handed to the cipher.
    if (input.size() < 108 && result.error != "Base64 decoding failed") {
      HV_FUZZ_CHECK(result.error == "Encoded text too short for key and IV");
    }
  } else {
    // Every step yields at least one byte; an empty token always means failure.
    HV_FUZZ_CHECK(!result.token.empty());
    HV_FUZZ_CHECK(input.size() >= 108);
  }
  HV_FUZZ_CHECK(hv::DecodeNumerals(AsNumerals(input)) == result.token);
}

// Bytes 0-31 key, 32-47 IV, the rest the token: produced, then decoded.
void CheckRoundTrip(const std::string& input) {
  constexpr std::size_t kKeyIv = hv::kAesKeyBytes + hv::kAesIvBytes;
  constexpr std::size_t kShortestToken = 22;
  if (input.size() < kKeyIv + kShortestToken) return;
  const std::string key = input.substr(0, hv::kAesKeyBytes);
  const std::string iv = input.substr(hv::kAesKeyBytes, hv::kAesIvBytes);
  const std::string token = input.substr(kKeyIv);
  const std::string encoded = hv::testing::EncodeText(token, key, iv);
  HV_FUZZ_CHECK(RunChain(encoded).token == token);
  HV_FUZZ_CHECK(hv::DecodeNumerals(AsNumerals(encoded)) == token);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckKeyIvSplit(input);
  CheckChain(input);
  CheckRoundTrip(input);
  return 0;
}
