#include "bcrypt/key_schedule_words.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bcrypt/bcrypt.h"

namespace {

// libxcrypt's hash of key under a cost-04 setting of the variant: what decides
// whether two keys are one.
std::string Hash(const std::string& key, char variant) {
  const std::string setting = std::string("$2") + variant + "$04$abcdefghijklmnopqrstuu";
  char hash[hv::kBcryptBufferSize] = {};
  EXPECT_EQ(bcrypt_hashpw(key.c_str(), setting.c_str(), hash), 0);
  return std::string(hash).substr(4);  // without the prefix, so variants compare too
}

bool OneKey(const std::string& a, const std::string& b, char variant) {
  return hv::KeyScheduleWords(a, variant) == hv::KeyScheduleWords(b, variant);
}

TEST(KeyScheduleWords, AgreeWithLibxcryptOnWhichTokensAreOneKey) {
  std::ifstream in(HV_ONE_KEY_PAIRS_PATH);
  ASSERT_TRUE(in) << HV_ONE_KEY_PAIRS_PATH;
  const auto pairs = nlohmann::json::parse(in).at("pairs");
  ASSERT_FALSE(pairs.empty());
  for (const auto& pair : pairs) {
    SCOPED_TRACE(pair.at("what").get<std::string>());
    const auto a = pair.at("a").get<std::string>();
    const auto b = pair.at("b").get<std::string>();
    const auto one_key_under = pair.at("oneKeyUnder").get<std::string>();
    for (const char variant : std::string_view(hv::kAuthCodeVariants)) {
      SCOPED_TRACE(std::string("$2") + variant + "$");
      const bool expected = one_key_under.find(variant) != std::string::npos;
      EXPECT_EQ(OneKey(a, b, variant), expected);
      EXPECT_EQ(Hash(a, variant) == Hash(b, variant), expected);
    }
  }
}

// Bytes that no UTF-8 token holds, as a table made by other means may.
TEST(KeyScheduleWords, FollowLibxcryptOnRawBytes) {
  // libxcrypt's own self-test key: "$2a$" steps aside from "$2y$" for it, and
  // only for keys like it, whose sign extension overwrote nothing but 0xFF.
  const std::string guarded = "\xff\xa3\x33\x34\xff\xff\xff\xa3\x33\x34\x35";  // FF A3 "34" ...
  const std::string overwriting = "\xff\xa3\x33\x34";
  const std::string leading_only = "\xc3\x61\x62";  // cycled with its NUL, 0xC3 starts every word
  EXPECT_NE(hv::KeyScheduleWords(guarded, 'a'), hv::KeyScheduleWords(guarded, 'y'));
  for (const std::string& key : {guarded, overwriting, leading_only}) {
    EXPECT_EQ(hv::KeyScheduleWords(key, 'a') == hv::KeyScheduleWords(key, 'y'),
              Hash(key, 'a') == Hash(key, 'y'));
  }
  EXPECT_EQ(hv::KeyScheduleWords(guarded, 'y')[17], 0x33343500U);

  // The terminating NUL is cycled in too, and "$2x$" can overwrite it.
  const std::string shorter = "\xc3\xa9" + std::string(68, 'k');
  const std::string longer = shorter + "?\xc3";
  EXPECT_TRUE(OneKey(shorter, longer, 'x'));
  EXPECT_EQ(Hash(shorter, 'x'), Hash(longer, 'x'));
  EXPECT_FALSE(OneKey(shorter, longer, 'b'));

  EXPECT_THROW(hv::KeyScheduleWords("key", 'z'), std::invalid_argument);
}

}  // namespace
