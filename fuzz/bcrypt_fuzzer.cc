// bcrypt_hashpw and bcrypt_checkpw with arbitrary tokens and auth codes.
// Input: the token, a NUL byte, then the auth code (both are C strings to the
// wrapper, so nothing after a second NUL is seen).
//
// Costs that would be hashed are rewritten to 04 or 05 before the calls, or a
// run would stall on one input. bcrypt_checkpw keeps costs 13 to 31, which it
// must refuse before hashing: if the cap broke, the run stalls and -timeout
// reports it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "bcrypt/bcrypt.h"
#include "fuzz_support.h"

namespace {

using hv::fuzz::ExactCString;

constexpr std::string_view kAlphabet =
    "./ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kSettingLength = 29;
constexpr std::size_t kCodeLength = 60;
// libxcrypt refuses longer keys outright.
constexpr std::size_t kLongestToken = 511;

bool InAlphabet(char c) { return c != '\0' && kAlphabet.find(c) != std::string_view::npos; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int CostDigits(std::string_view s) {
  if (s.size() < 6 || !IsDigit(s[4]) || !IsDigit(s[5])) return -1;
  return (s[4] - '0') * 10 + (s[5] - '0');
}

// "$2" variant "$" cost 04-31 "$" and 22 alphabet characters.
bool StartsWithAcceptedSetting(std::string_view s) {
  if (s.size() < kSettingLength) return false;
  if (s[0] != '$' || s[1] != '2' || std::string_view("abxy").find(s[2]) == std::string_view::npos ||
      s[3] != '$' || s[6] != '$') {
    return false;
  }
  const int cost = CostDigits(s);
  if (cost < 4 || cost > 31) return false;
  for (std::size_t i = 7; i < kSettingLength; ++i) {
    if (!InAlphabet(s[i])) return false;
  }
  return true;
}

// Rewrites a cost in [low, high] to 04 or 05, keeping others as they are.
std::string WithCheapCost(std::string s, int low, int high) {
  const int cost = CostDigits(s);
  if (cost >= low && cost <= high) {
    s[4] = '0';
    s[5] = cost % 2 == 0 ? '4' : '5';
  }
  return s;
}

// Only the top two bits of the 22nd salt character count.
char Canonical(char c) {
  const std::size_t value = kAlphabet.find(c);
  return kAlphabet[value & 0x30];
}

// Hashes and checks the shape of what came out; returns the code or "".
std::string Hash(const std::string& token, const std::string& setting) {
  const ExactCString token_c(token);
  const ExactCString setting_c(setting);
  auto* hash = new char[hv::kBcryptBufferSize];
  const int rc = bcrypt_hashpw(token_c.get(), setting_c.get(), hash);
  const bool expected_ok = StartsWithAcceptedSetting(setting) && token.size() <= kLongestToken;
  HV_FUZZ_CHECK(rc == 0 || rc == 1);
  HV_FUZZ_CHECK((rc == 0) == expected_ok);
  std::string code;
  if (rc == 0) {
    code.assign(hash, strnlen(hash, hv::kBcryptBufferSize));
    HV_FUZZ_CHECK(code.size() == kCodeLength);
    HV_FUZZ_CHECK(code.compare(0, kSettingLength - 1, setting, 0, kSettingLength - 1) == 0);
    HV_FUZZ_CHECK(code[kSettingLength - 1] == Canonical(setting[kSettingLength - 1]));
    for (std::size_t i = kSettingLength; i < kCodeLength; ++i) HV_FUZZ_CHECK(InAlphabet(code[i]));
  }
  delete[] hash;
  return code;
}

int Check(const std::string& token, const std::string& code) {
  const ExactCString token_c(token);
  const ExactCString code_c(code);
  return bcrypt_checkpw(token_c.get(), code_c.get());
}

// The refusals, in the order they are decided, before any hashing.
void CheckRefusalCodes(const std::string& token, const std::string& code) {
  const int rc = Check(token, code);
  if (!StartsWithAcceptedSetting(code) || CostDigits(code) > hv::kVerificationCostCap) {
    HV_FUZZ_CHECK(rc == -1);
    return;
  }
  if (code.size() != kCodeLength) {
    HV_FUZZ_CHECK(rc == 1);
    return;
  }
  bool hashable = std::string_view(".Oeu").find(code[kSettingLength - 1]) != std::string::npos;
  for (std::size_t i = kSettingLength; i < kCodeLength; ++i)
    hashable = hashable && InAlphabet(code[i]);
  if (!hashable) {
    HV_FUZZ_CHECK(rc == 1);
    return;
  }
  // A well-formed code that libxcrypt cannot hash under this token: a failure, not a refusal.
  if (token.size() > kLongestToken) {
    HV_FUZZ_CHECK(rc == hv::kCheckpwHashingFailed);
    return;
  }
  // A well-formed code: only the hash decides.
  const std::string expected = Hash(token, code);
  HV_FUZZ_CHECK(rc >= 0 && rc <= 255);
  HV_FUZZ_CHECK((rc == 0) == (expected == code));
}

// A code made from the token matches it, and no altered copy does.
void CheckMadeCodes(const std::string& token, const std::string& setting, std::size_t pick) {
  const std::string code = Hash(token, setting);
  if (code.empty()) return;
  HV_FUZZ_CHECK(Check(token, code) == 0);

  std::string changed = code;
  const std::size_t at = kSettingLength + pick % (kCodeLength - kSettingLength);
  changed[at] = kAlphabet[(kAlphabet.find(changed[at]) + 1 + pick % 63) % kAlphabet.size()];
  const int rc = Check(token, changed);
  HV_FUZZ_CHECK(rc >= 1 && rc <= 255);

  HV_FUZZ_CHECK(Check(token, code + kAlphabet[pick % kAlphabet.size()]) == 1);
  HV_FUZZ_CHECK(Check(token, code.substr(0, kCodeLength - 1)) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string token(input.substr(0, split));
  std::string code;
  if (split != std::string_view::npos) {
    const std::string_view after = input.substr(split + 1);
    code.assign(after.substr(0, after.find('\0')));
  }
  std::size_t pick = 0;
  for (char c : input) pick = pick * 31 + static_cast<unsigned char>(c);

  CheckRefusalCodes(token, WithCheapCost(code, 5, hv::kVerificationCostCap));
  CheckMadeCodes(token, WithCheapCost(code, 5, 31), pick);
  return 0;
}
