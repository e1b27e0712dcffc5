#include "bcrypt/auth_code_rules.h"

#include <cstddef>

namespace hv {
namespace {

// libxcrypt's bcrypt refuses settings with a cost outside 4..31.
constexpr int kMaxSettingCost = 31;

bool IsOneOf(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Cost of a code that starts with a setting libxcrypt's bcrypt accepts, else -1.
int AcceptedSettingCost(std::string_view code) {
  if (code.size() < kAuthCodeSettingLength || !HasBcryptPrefix(code) || !IsDigit(code[4]) ||
      !IsDigit(code[5]) || code[6] != '$') {
    return -1;
  }
  const int cost = (code[4] - '0') * 10 + (code[5] - '0');
  if (cost < kMinAuthCodeCost || cost > kMaxSettingCost) return -1;
  for (std::size_t i = 7; i < kAuthCodeSettingLength; ++i) {
    if (!IsOneOf(code[i], kAuthCodeAlphabet)) return -1;
  }
  return cost;
}

}  // namespace

bool HasBcryptPrefix(std::string_view setting) {
  return setting.size() >= 4 && setting[0] == '$' && setting[1] == '2' &&
         IsOneOf(setting[2], kAuthCodeVariants) && setting[3] == '$';
}

AuthCodeShape ClassifyAuthCode(std::string_view code) {
  // The setting comes first: the client picks the cost, and with it the work.
  const int cost = AcceptedSettingCost(code);
  if (cost < 0 || cost > kVerificationCostCap) return AuthCodeShape::kRefusedSetting;
  if (code.size() != kAuthCodeLength) return AuthCodeShape::kRefusedForm;
  // Only the top two bits of the last salt character count, and hashing
  // writes back one of these; a hash has no character outside the alphabet.
  if (!IsOneOf(code[kAuthCodeSettingLength - 1], kCanonicalLastSaltChars)) {
    return AuthCodeShape::kRefusedForm;
  }
  for (std::size_t i = kAuthCodeSettingLength; i < kAuthCodeLength; ++i) {
    if (!IsOneOf(code[i], kAuthCodeAlphabet)) return AuthCodeShape::kRefusedForm;
  }
  return AuthCodeShape::kHashable;
}

}  // namespace hv
