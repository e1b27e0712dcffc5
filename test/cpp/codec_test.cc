#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/aes256cbc.h"
#include "codec/base64.h"
#include "codec/key_iv.h"
#include "codec/numeral_decoder.h"
#include "common/diagnostics.h"
#include "test_encoding.h"

namespace hv {
namespace {

using Elements = std::vector<std::optional<std::string>>;

std::string Bytes(std::size_t n, unsigned char first) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(first + i));
  return s;
}

const std::string kKey = Bytes(32, 0xE0);  // covers bytes above 0x7F and wraps through 0
const std::string kIv = Bytes(16, 0x01);

Elements AsElements(const std::vector<std::string>& numerals) {
  return Elements(numerals.begin(), numerals.end());
}

Elements Encode(const std::string& token) {
  return AsElements(testing::ToNumerals(testing::EncodeText(token, kKey, kIv)));
}

// Decodes while capturing what the decoder writes to standard error.
std::string Decode(const Elements& elements, std::string* log) {
  ::testing::internal::CaptureStderr();
  std::string token = DecodeNumerals(elements);
  const bool flushed = FlushDiagnosticLines(std::chrono::seconds(10));
  *log = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(flushed);
  return token;
}

TEST(ExtractKeyIV, SplitsTwelveGroupsOutOfA108ByteText) {
  std::string text = testing::EncodeText(std::string(22, 'a'), kKey, kIv);
  ASSERT_EQ(text.size(), 112u);
  text.resize(108);
  std::string rest;
  const auto [key, iv] = ExtractKeyIV(text, rest);
  EXPECT_EQ(key, kKey);
  EXPECT_EQ(iv, kIv);
  EXPECT_EQ(text.size(), 60u);
  EXPECT_EQ(rest, text);
}

TEST(ExtractKeyIV, ShortTextsGiveShortKeyAndIv) {
  std::string five = "abcde";
  std::string rest;
  auto [key, iv] = ExtractKeyIV(five, rest);
  EXPECT_TRUE(key.empty());
  EXPECT_TRUE(iv.empty());
  EXPECT_EQ(five, "abcde");
  EXPECT_EQ(rest, "abcde");

  std::string seven = "abcdeXY";
  std::tie(key, iv) = ExtractKeyIV(seven, rest);
  EXPECT_EQ(key, "XY");
  EXPECT_EQ(rest, "abcde");

  std::string eighty = std::string(80, 'x');
  std::tie(key, iv) = ExtractKeyIV(eighty, rest);
  EXPECT_EQ(key.size(), 32u);
  EXPECT_LT(iv.size(), 16u);
}

TEST(Base64Decode, DecodesOneLine) {
  EXPECT_EQ(Base64Decode("aGVsbG8gd29ybGQ="), "hello world");
  const std::string binary = Bytes(200, 0);
  EXPECT_EQ(Base64Decode(testing::Base64Encode(binary)), binary);
}

TEST(Base64Decode, RefusesWhatYieldsNoByte) {
  for (const std::string input : {"", "Q", "!!!!", "\n\n\n\n"}) {
    EXPECT_THROW(
        {
          try {
            Base64Decode(input);
          } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Base64 decoding failed");
            throw;
          }
        },
        std::runtime_error)
        << "input of " << input.size() << " bytes";
  }
}

std::string DecryptError(const std::string& ciphertext, const std::string& key,
                         const std::string& iv) {
  try {
    DecryptAES256CBC(ciphertext, key, iv);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(DecryptAES256CBC, RoundTripsAndChecksPadding) {
  const std::string plain = "inner text of some length";
  const std::string cipher = testing::EncryptAes256Cbc(plain, kKey, kIv);
  EXPECT_EQ(DecryptAES256CBC(cipher, kKey, kIv), plain);

  std::string wrong_key = kKey;
  wrong_key[0] = static_cast<char>(wrong_key[0] ^ 1);
  EXPECT_EQ(DecryptError(cipher, wrong_key, kIv), "AES decryption finalization failed");
  EXPECT_EQ(DecryptError(cipher.substr(0, cipher.size() - 1), kKey, kIv),
            "AES decryption finalization failed");
  EXPECT_EQ(DecryptError("", kKey, kIv), "AES decryption finalization failed");
}

TEST(DecryptAES256CBC, RefusesShortKeyOrIvBeforeReadingThem) {
  const std::string cipher = testing::EncryptAes256Cbc("x", kKey, kIv);
  EXPECT_EQ(DecryptError(cipher, kKey.substr(0, 31), kIv), "Encoded text too short for key and IV");
  EXPECT_EQ(DecryptError(cipher, kKey, kIv.substr(0, 15)), "Encoded text too short for key and IV");
  EXPECT_EQ(DecryptError(cipher, "", ""), "Encoded text too short for key and IV");
}

TEST(DecodeNumerals, RoundTripsTokensOfEveryCarriableLength) {
  for (std::size_t length : {22u, 23u, 33u, 50u, 72u, 200u}) {
    const std::string token = Bytes(length, 0x21);
    std::string log;
    EXPECT_EQ(Decode(Encode(token), &log), token) << length;
    EXPECT_EQ(log, "");
  }
  const std::string utf8 = "caf\xC3\xA9-\xF0\x9F\x94\x91-token-of-some-length";
  std::string log;
  EXPECT_EQ(Decode(Encode(utf8), &log), utf8);
}

TEST(DecodeNumerals, AcceptsTheWiderNumeralForms) {
  // Each form must give the byte 'A' (65) when it replaces the first element.
  const std::string token = "A-token-of-22-bytes-xx";
  Elements elements = Encode(token);
  const std::string first = *elements[0];
  const int value = std::stoi(first);
  for (const std::string& form :
       {" " + first, "+" + first, first + "abc", std::to_string(value + 256), "\t" + first}) {
    elements[0] = form;
    std::string log;
    EXPECT_EQ(Decode(elements, &log), token) << "form [" << form << "]";
  }
  elements[0] = std::to_string(value - 256);  // negative numerals keep their low 8 bits
  std::string log;
  EXPECT_EQ(Decode(elements, &log), token);
}

TEST(DecodeNumerals, StopsAtTheFirstElementWithoutANumeral) {
  for (const std::string bad : {"abc", "", "12345678901", "-99999999999"}) {
    Elements elements = Encode("B-token-of-22-bytes-xx");
    elements[3] = bad;
    elements[4] = std::nullopt;  // never reached: the walk stops at index 3
    std::string log;
    EXPECT_EQ(Decode(elements, &log), "");
    EXPECT_EQ(log, "Error decoding ASCII array: stoi\n") << "element [" << bad << "]";
  }
}

TEST(DecodeNumerals, SkipsNonStringsAndLogsTheirIndex) {
  Elements elements = Encode("C-token-of-22-bytes-xx");
  elements.insert(elements.begin() + 7, std::nullopt);
  std::string log;
  EXPECT_EQ(Decode(elements, &log), "C-token-of-22-bytes-xx");
  EXPECT_EQ(log, "Non-string value in ASCII array at index 7\n");

  // A missing element shifts the rest, which then fails to decrypt.
  Elements shifted = Encode("C-token-of-22-bytes-xx");
  shifted[2] = std::nullopt;
  EXPECT_EQ(Decode(shifted, &log), "");
  EXPECT_EQ(log.rfind("Non-string value in ASCII array at index 2\nError during processing: ", 0),
            0u)
      << log;
}

TEST(DecodeNumerals, ReportsEachFailureAfterTheWalk) {
  std::string log;
  EXPECT_EQ(Decode({}, &log), "");
  EXPECT_EQ(log, "Error during processing: Base64 decoding failed\n");

  // Too short to carry a whole key and IV: refused before decryption.
  Elements short_text = AsElements(testing::ToNumerals(std::string(80, 'Q')));
  EXPECT_EQ(Decode(short_text, &log), "");
  EXPECT_EQ(log, "Error during processing: Encoded text too short for key and IV\n");

  Elements wrong_key = Encode("D-token-of-22-bytes-xx");
  wrong_key[5] = std::to_string((std::stoi(*wrong_key[5]) + 1) % 256);  // key byte 0
  EXPECT_EQ(Decode(wrong_key, &log), "");
  EXPECT_EQ(log, "Error during processing: AES decryption finalization failed\n");
}

TEST(DecodeNumerals, TwentyTwoBytesIsTheShortestCarriableToken) {
  const auto outer_length = [](std::size_t token_length) {
    const std::string inner = testing::Base64Encode(std::string(token_length, 'z'));
    return testing::Base64Encode(testing::EncryptAes256Cbc(inner, kKey, kIv)).size();
  };
  EXPECT_EQ(outer_length(22), 64u);  // twelve whole groups need 60
  EXPECT_EQ(outer_length(21), 44u);
}

TEST(DecodeNumerals, ChangedIvOnlyAltersTheStartOfTheInnerText) {
  Elements elements = Encode("E-token-of-22-bytes-xx");
  elements[77] = std::to_string((std::stoi(*elements[77]) ^ 0x01));  // IV byte 0
  std::string log;
  const std::string token = Decode(elements, &log);
  EXPECT_NE(token, "E-token-of-22-bytes-xx");
  if (token.empty()) {
    EXPECT_EQ(log, "Error during processing: Base64 decoding failed\n");
  } else {
    EXPECT_EQ(log, "");
  }
}

}  // namespace
}  // namespace hv
