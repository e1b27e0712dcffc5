#include "bcrypt/bcrypt.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

constexpr char kAlphabet[] = "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// A published cost-04 vector, so the checks below do not depend on bcrypt_gensalt.
constexpr char kToken[] = "Kk4DQuMMfZL9o";
constexpr char kCode[] = "$2b$04$cVWp4XaNU8a4v1uMRum2SO026BWLIoQMD/TXg5uZV.0P.uO8m3YEm";

std::string BytesFromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string Salt(int factor) {
  char salt[hv::kBcryptBufferSize] = {};
  EXPECT_EQ(bcrypt_gensalt(factor, salt), 0);
  return salt;
}

// The auth code of token under setting, or "" when hashing fails.
std::string Hash(const char* token, const std::string& setting) {
  char hash[hv::kBcryptBufferSize] = {};
  return bcrypt_hashpw(token, setting.c_str(), hash) == 0 ? std::string(hash) : std::string();
}

bool InAlphabet(char c) { return c != '\0' && std::strchr(kAlphabet, c) != nullptr; }

TEST(BcryptKnownAnswers, MatchPublishedVectors) {
  std::ifstream in(HV_BCRYPT_VECTORS_PATH);
  ASSERT_TRUE(in) << HV_BCRYPT_VECTORS_PATH;
  const auto vectors = nlohmann::json::parse(in).at("vectors");
  ASSERT_FALSE(vectors.empty());

  for (std::size_t i = 0; i < vectors.size(); ++i) {
    const auto& v = vectors[i];
    SCOPED_TRACE("vector " + std::to_string(i) + ": " + v.at("source").get<std::string>());
    // c_str(): the key is read up to its first NUL, as every caller passes it.
    const std::string password = BytesFromHex(v.at("password_hex").get<std::string>());
    const std::string setting = v.at("setting").get<std::string>();
    char hash[hv::kBcryptBufferSize] = {};
    const int result = bcrypt_hashpw(password.c_str(), setting.c_str(), hash);

    if (v.at("hashing_fails").get<bool>()) {
      EXPECT_EQ(result, 1);
      continue;
    }
    const std::string expected = v.at("expected").get<std::string>();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(std::string(hash), expected);
    if (std::stoi(setting.substr(4, 2)) <= hv::kVerificationCostCap) {
      EXPECT_EQ(bcrypt_checkpw(password.c_str(), expected.c_str()), 0);
    }
  }
}

TEST(BcryptGensalt, WritesCost12SaltString) {
  const std::string salt = Salt(12);
  ASSERT_EQ(salt.size(), 29u);
  EXPECT_EQ(salt.substr(0, 7), "$2a$12$");
  for (std::size_t i = 7; i < salt.size(); ++i) EXPECT_TRUE(InAlphabet(salt[i])) << salt;
  EXPECT_NE(std::strchr(".Oeu", salt[28]), nullptr) << salt;
}

TEST(BcryptGensalt, KeepsFactorsInRangeAndReplacesOthersWith12) {
  EXPECT_EQ(Salt(4).substr(0, 7), "$2a$04$");
  EXPECT_EQ(Salt(31).substr(0, 7), "$2a$31$");
  for (int factor : {3, 32, 0, -1, INT_MIN, INT_MAX}) {
    EXPECT_EQ(Salt(factor).substr(0, 7), "$2a$12$") << factor;
  }
}

TEST(BcryptGensalt, SuccessiveSaltsDiffer) { EXPECT_NE(Salt(4).substr(7), Salt(4).substr(7)); }

TEST(BcryptHashpw, HashesUnderGeneratedSalt) {
  const std::string salt = Salt(4);
  const std::string code = Hash(kToken, salt);
  ASSERT_EQ(code.size(), 60u);
  EXPECT_EQ(code.substr(0, 29), salt);
  EXPECT_EQ(bcrypt_checkpw(kToken, code.c_str()), 0);
}

TEST(BcryptHashpw, RefusesOtherMethodsThatTheLibraryWouldCompute) {
  for (const char* setting : {"$1$saltsalt$", "$5$saltsalt$", "$6$saltsalt$", "", "$2$", "*0"}) {
    char hash[hv::kBcryptBufferSize] = {};
    EXPECT_EQ(bcrypt_hashpw(kToken, setting, hash), 1) << setting;
  }
}

TEST(BcryptHashpw, ReadsOnlyTheFirst29Characters) {
  const std::string setting(kCode, 29);
  // The library alone would refuse the trailing space and '!'.
  EXPECT_EQ(Hash(kToken, setting + " trailing!"), kCode);
  EXPECT_EQ(Hash(kToken, kCode), kCode);
  EXPECT_EQ(Hash(kToken, setting.substr(0, 28)), "");
}

TEST(BcryptHashpw, EmptyTokenIsHashedLikeAnyOther) {
  const std::string code = Hash("", Salt(4));
  ASSERT_EQ(code.size(), 60u);
  EXPECT_EQ(bcrypt_checkpw("", code.c_str()), 0);
  EXPECT_NE(bcrypt_checkpw(" ", code.c_str()), 0);
  EXPECT_NE(bcrypt_checkpw(kToken, code.c_str()), 0);
}

TEST(BcryptHashpw, OnlyTheFirst72TokenBytesCount) {
  const std::string setting(kCode, 29);
  const std::string prefix(72, 'k');
  EXPECT_EQ(Hash((prefix + "a").c_str(), setting), Hash((prefix + "bcd").c_str(), setting));
  const std::string code = Hash((prefix + "a").c_str(), setting);
  EXPECT_EQ(bcrypt_checkpw((prefix + "zz").c_str(), code.c_str()), 0);
  // One byte earlier the tail still counts.
  EXPECT_NE(Hash((prefix.substr(1) + "a").c_str(), setting),
            Hash((prefix.substr(1) + "b").c_str(), setting));
}

// libxcrypt's limit, below which the 72-byte rule holds. Checking a well-formed code reports the
// failure as a failure of its own, never as a refusal of the code or a mismatch.
TEST(BcryptHashpw, TokensOf512BytesOrMoreFail) {
  const std::string setting(kCode, 29);
  const std::string longest(511, 'k');
  EXPECT_EQ(Hash(longest.c_str(), setting), Hash(longest.substr(0, 72).c_str(), setting));
  const std::string too_long(512, 'k');
  char hash[hv::kBcryptBufferSize] = {};
  EXPECT_EQ(bcrypt_hashpw(too_long.c_str(), setting.c_str(), hash), 1);
  const std::string code = Hash(longest.c_str(), setting);
  ASSERT_EQ(code.size(), 60u);
  EXPECT_EQ(bcrypt_checkpw(too_long.c_str(), code.c_str()), hv::kCheckpwHashingFailed);
  EXPECT_EQ(hv::kCheckpwHashingFailed, -2);
  // Refusals are still decided first, from the code alone.
  EXPECT_EQ(bcrypt_checkpw(too_long.c_str(), code.substr(0, 28).c_str()), -1);
  EXPECT_EQ(bcrypt_checkpw(too_long.c_str(), code.substr(0, 59).c_str()), 1);
}

TEST(BcryptCheckpw, MatchesOnlyTheTokenItWasMadeFrom) {
  EXPECT_EQ(bcrypt_checkpw(kToken, kCode), 0);
  for (const char* other : {"Kk4DQuMMfZL9", "Kk4DQuMMfZL9o ", "kk4DQuMMfZL9o", ""}) {
    const int result = bcrypt_checkpw(other, kCode);
    EXPECT_GE(result, 1) << other;
    EXPECT_LE(result, 255) << other;
  }
}

TEST(BcryptCheckpw, RefusesCodesThatAreNoAcceptedSetting) {
  const std::string code = kCode;
  auto with = [&code](std::size_t pos, const char* text) {
    return code.substr(0, pos) + text + code.substr(pos + std::strlen(text));
  };
  const std::vector<std::string> refused = {
      "",
      "abc",
      code.substr(0, 28),
      "$1$saltsalt$MzDjbImyzEz2m0NTiPzNW/",
      with(0, "$1$"),
      with(2, "c"),
      with(2, "A"),
      with(1, "3"),
      with(4, "03"),
      with(4, "32"),
      with(4, "4$"),
      with(4, " 4"),
      with(4, "0a"),
      with(6, "."),
      with(10, "!"),
      with(28, "$"),
  };
  for (const std::string& bad : refused) EXPECT_EQ(bcrypt_checkpw(kToken, bad.c_str()), -1) << bad;
}

// A regression would hash at up to cost 31 and hang here rather than fail fast.
TEST(BcryptCheckpw, RefusesCostsAboveTheCapBeforeHashing) {
  std::string code = kCode;
  for (int cost = hv::kVerificationCostCap + 1; cost <= 31; ++cost) {
    code.replace(4, 2, std::to_string(cost));
    EXPECT_EQ(bcrypt_checkpw(kToken, code.c_str()), -1) << code;
    // The cost is judged before the length and the characters.
    EXPECT_EQ(bcrypt_checkpw(kToken, code.substr(0, 59).c_str()), -1) << code;
  }
}

TEST(BcryptCheckpw, HashesAtTheCap) {
  std::string code = kCode;
  code.replace(4, 2, std::to_string(hv::kVerificationCostCap));
  // Same salt and hash characters at another cost: hashed, then a mismatch rather than a refusal.
  const int result = bcrypt_checkpw(kToken, code.c_str());
  EXPECT_GE(result, 1);
  EXPECT_LE(result, 255);
}

TEST(BcryptCheckpw, WrongLengthGivesOne) {
  const std::string code = kCode;
  EXPECT_EQ(bcrypt_checkpw(kToken, code.substr(0, 59).c_str()), 1);
  EXPECT_EQ(bcrypt_checkpw(kToken, (code + "u").c_str()), 1);
  EXPECT_EQ(bcrypt_checkpw(kToken, code.substr(0, 29).c_str()), 1);
}

TEST(BcryptCheckpw, CharactersNoHashCanHoldGiveOne) {
  const std::string code = kCode;
  // Each canonical character stands for three others with the same top two bits.
  const std::string canonical = ".Oeu";
  for (std::size_t c = 0; c < canonical.size(); ++c) {
    const auto value = static_cast<std::size_t>(std::strchr(kAlphabet, canonical[c]) - kAlphabet);
    for (std::size_t low = 1; low < 16; ++low) {
      std::string variant = code;
      variant[28] = kAlphabet[value + low];
      EXPECT_EQ(bcrypt_checkpw(kToken, variant.c_str()), 1) << variant;
    }
  }
  for (std::size_t pos : {29u, 45u, 59u}) {
    for (char c : {'$', '!', '-', '~', '\x80'}) {
      std::string variant = code;
      variant[pos] = c;
      EXPECT_EQ(bcrypt_checkpw(kToken, variant.c_str()), 1) << variant;
    }
  }
}

TEST(BcryptCheckpw, ChangedHashCharacterIsAMismatch) {
  for (std::size_t pos : {29u, 45u, 59u}) {
    std::string variant = kCode;
    variant[pos] = variant[pos] == 'A' ? 'B' : 'A';
    const int result = bcrypt_checkpw(kToken, variant.c_str());
    EXPECT_GE(result, 1) << variant;
    EXPECT_LE(result, 255) << variant;
  }
}

TEST(BcryptCheckpw, VariantLettersAgreeForAsciiTokens) {
  for (const char* variant : {"$2a$", "$2b$", "$2x$", "$2y$"}) {
    std::string code = kCode;
    code.replace(0, 4, variant);
    EXPECT_EQ(bcrypt_checkpw(kToken, code.c_str()), 0) << code;
  }
}

TEST(BcryptCheckpw, NulEndsTokenAndCode) {
  const char token_with_tail[] = "Kk4DQuMMfZL9o\0tail";
  EXPECT_EQ(bcrypt_checkpw(token_with_tail, kCode), 0);

  char code_with_tail[80] = {};
  std::memcpy(code_with_tail, kCode, 60);
  std::memcpy(code_with_tail + 61, "xyz", 3);
  EXPECT_EQ(bcrypt_checkpw(kToken, code_with_tail), 0);
  code_with_tail[40] = '\0';
  EXPECT_EQ(bcrypt_checkpw(kToken, code_with_tail), 1);
}

}  // namespace
