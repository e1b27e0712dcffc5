#include <stdexcept>
#include <string>

#include "arguments.h"
#include "bcrypt/bcrypt.h"
#include "common/wipe.h"
#include "messages.h"
#include "operations.h"
#include "tokens/token_lookup.h"

namespace hv {

Napi::Value GenerateAuthCode(const Napi::CallbackInfo& info) {
  const Napi::Env env = info.Env();
  if (!HasStringArguments(info, 3)) {
    ThrowArgumentError(env, messages::kGenerateAuthCodeArguments);
    return env.Null();
  }
  const std::size_t longest = LongestTableName(env);
  const RequestName platform = ReadRequestName(info[0].As<Napi::String>(), longest);
  const RequestName userType = ReadRequestName(info[1].As<Napi::String>(), longest);
  const RequestName host = ReadRequestName(info[2].As<Napi::String>(), longest);

  const Napi::Value found = GetToken(env, platform, userType, host);
  if (!found.IsString()) return env.Null();
  std::string token = found.As<Napi::String>().Utf8Value();
  const WipeOnExit wipe_token(token);
  // An unknown combination or an undecodable leaf has no token: never hand out
  // a code for the empty string.
  if (token.empty()) return env.Null();

  try {
    char salt[kBcryptBufferSize];
    char hash[kBcryptBufferSize];
    if (bcrypt_gensalt(kGenerationCost, salt) != 0) {
      throw std::runtime_error("Failed to generate bcrypt salt");
    }
    if (bcrypt_hashpw(token.c_str(), salt, hash) != 0)
      throw std::runtime_error("Failed to hash token");
    return Napi::String::New(env, hash);
  } catch (const Napi::Error&) {
    throw;
  } catch (const std::exception& e) {
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Null();
  }
}

}  // namespace hv
