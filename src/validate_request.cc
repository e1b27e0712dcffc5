#include <string>

#include "arguments.h"
#include "bcrypt/auth_code_rules.h"
#include "bcrypt/bcrypt.h"
#include "common/wipe.h"
#include "messages.h"
#include "operations.h"
#include "tokens/token_lookup.h"

namespace hv {

Napi::Value ValidateRequest(const Napi::CallbackInfo& info) {
  const Napi::Env env = info.Env();
  if (!HasStringArguments(info, 4)) {
    ThrowArgumentError(env, messages::kValidateRequestArguments);
    return Napi::Boolean::New(env, false);
  }
  const std::size_t longest = LongestTableName(env);
  const RequestName platform = ReadRequestName(info[1].As<Napi::String>(), longest);
  const RequestName userType = ReadRequestName(info[2].As<Napi::String>(), longest);
  const RequestName host = ReadRequestName(info[3].As<Napi::String>(), longest);

  const Napi::Value found = GetToken(env, platform, userType, host);
  if (!found.IsString()) return Napi::Boolean::New(env, false);
  std::string token = found.As<Napi::String>().Utf8Value();
  const WipeOnExit wipe_token(token);
  // No token means no code can be valid: the empty string is no secret.
  if (token.empty()) return Napi::Boolean::New(env, false);

  const Napi::String code_value = info[0].As<Napi::String>();
  // Measured before conversion, so that a 10 MB code costs nothing to refuse.
  if (Utf16Length(code_value) != kAuthCodeLength) return Napi::Boolean::New(env, false);
  const std::string auth_code = code_value.Utf8Value();
  // Classified whole: bcrypt_checkpw sees a C string, which a NUL would cut
  // short, letting anything follow a valid code.
  if (ClassifyAuthCode(auth_code) != AuthCodeShape::kHashable)
    return Napi::Boolean::New(env, false);
  const int result = bcrypt_checkpw(token.c_str(), auth_code.c_str());
  // Not an answer about the code: reported as `false`, it would be taken
  // (and cached) as a wrong code until the fault had long passed.
  if (result == kCheckpwHashingFailed) {
    Napi::Error::New(env, messages::kCheckFailed).ThrowAsJavaScriptException();
    return Napi::Boolean::New(env, false);
  }
  return Napi::Boolean::New(env, result == 0);
}

}  // namespace hv
