// What a received auth code must look like before any hashing: the one
// statement of these rules on the native side, applied by bcrypt_checkpw and
// by validateRequest. Its constants come from shared/auth_code_rules.json, which
// the JavaScript layer reads too, so that both sides refuse the same codes.
#pragma once

#include <string_view>

#include "auth_code_rules_data.h"

namespace hv {

enum class AuthCodeShape {
  // Worth hashing: a code like this can match.
  kHashable,
  // No accepted setting ("$2a$", "$2b$", "$2x$" or "$2y$", a cost from
  // kMinAuthCodeCost to 31, then salt characters), or a cost above
  // kVerificationCostCap.
  kRefusedSetting,
  // A setting that is fine, but a length other than kAuthCodeLength or
  // characters no hash can produce (a NUL among them).
  kRefusedForm,
};

// Decides from the code alone, reading no further than code.size().
AuthCodeShape ClassifyAuthCode(std::string_view code);

// True when setting starts with one of the bcrypt prefixes: the only ones
// handed to libxcrypt, which also computes other methods' hashes.
bool HasBcryptPrefix(std::string_view setting);

}  // namespace hv
