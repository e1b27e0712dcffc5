#include "tokens/token_lookup.h"

#include "common/diagnostics.h"
#include "tokens/token_store.h"

namespace hv {
namespace {

// Own properties only: inherited ones such as "constructor" or "__proto__"
// must never resolve to a value anyone can hash. A NUL inside a name would
// otherwise be cut and match a shorter name.
bool GetOwn(Napi::Env env, const Napi::Value& holder, const std::string& name, Napi::Value& out) {
  if (!holder.IsObject() || name.find('\0') != std::string::npos) return false;
  const Napi::Object object = holder.As<Napi::Object>();
  const Napi::String key = Napi::String::New(env, name);
  if (!object.HasOwnProperty(key)) return false;
  out = object.Get(key);
  return true;
}

Napi::Value NotFound(Napi::Env env, const std::string& line) {
  WriteDiagnosticLine(line);
  return Napi::String::New(env, "");
}

}  // namespace

Napi::Value GetToken(Napi::Env env, const std::string& platform, const std::string& userType,
                     const std::string& host) {
  const TokenStore* store = FindTokenStore(env);
  Napi::Value root;
  if (store != nullptr && !store->verificationTokenDataRef.IsEmpty()) {
    root = store->verificationTokenDataRef.Value();
  }
  if (root.IsEmpty() || !(root.IsObject() || root.IsFunction())) {
    return NotFound(env, "verificationTokenData is not initialized or invalid");
  }

  Napi::Value host_data;
  if (!GetOwn(env, root, host, host_data)) {
    return NotFound(env, "Host '" + PrintableName(host) + "' not found in verificationTokenData");
  }
  Napi::Value platform_data;
  if (!GetOwn(env, host_data, platform, platform_data)) {
    return NotFound(
        env, "Platform '" + PrintableName(platform) + "' not found in verificationTokenData");
  }
  Napi::Value token;
  if (!GetOwn(env, platform_data, userType, token)) {
    return NotFound(env, "UserType '" + PrintableName(userType) + "' not found under platform '" +
                             PrintableName(platform) + "'");
  }
  return token;
}

}  // namespace hv
