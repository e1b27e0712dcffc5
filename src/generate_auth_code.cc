#include <openssl/crypto.h>

#include <stdexcept>
#include <string>

#include "arguments.h"
#include "bcrypt/bcrypt.h"
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
  const std::string platform = info[0].As<Napi::String>().Utf8Value();
  const std::string userType = info[1].As<Napi::String>().Utf8Value();
  const std::string host = info[2].As<Napi::String>().Utf8Value();

  const Napi::Value found = GetToken(env, platform, userType, host);
  if (!found.IsString()) return env.Null();
  std::string token = found.As<Napi::String>().Utf8Value();
  // An unknown combination or an undecodable leaf has no token: never hand out
  // a code for the empty string.
  if (token.empty()) return env.Null();

  try {
    char salt[kBcryptBufferSize];
    char hash[kBcryptBufferSize];
    const int salt_result = bcrypt_gensalt(kGenerationCost, salt);
    if (salt_result != 0) throw std::runtime_error("Failed to generate bcrypt salt");
    const int hash_result = bcrypt_hashpw(token.c_str(), salt, hash);
    OPENSSL_cleanse(token.data(), token.size());
    if (hash_result != 0) throw std::runtime_error("Failed to hash token");
    return Napi::String::New(env, hash);
  } catch (const Napi::Error&) {
    throw;
  } catch (const std::exception& e) {
    OPENSSL_cleanse(token.data(), token.size());
    Napi::Error::New(env, e.what()).ThrowAsJavaScriptException();
    return env.Null();
  }
}

}  // namespace hv
