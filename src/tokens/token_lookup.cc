#include "tokens/token_lookup.h"

#include "common/diagnostics.h"
#include "common/printable_name.h"
#include "tokens/token_store.h"

namespace hv {
namespace {

// Own properties only: inherited ones such as "constructor" or "__proto__"
// must never resolve to a value anyone can hash. A NUL inside a name would
// otherwise be cut and match a shorter name. A name read only in part is
// longer than every key.
bool GetOwn(Napi::Env env, const Napi::Value& holder, const RequestName& name, Napi::Value& out) {
  if (!holder.IsObject() || !name.IsWhole() || name.text.find('\0') != std::string::npos) {
    return false;
  }
  const Napi::Object object = holder.As<Napi::Object>();
  const Napi::String key = Napi::String::New(env, name.text);
  if (!object.HasOwnProperty(key)) return false;
  out = object.Get(key);
  return true;
}

Napi::Value NotFound(Napi::Env env, const std::string& line) {
  WriteDiagnosticLine(line);
  return Napi::String::New(env, "");
}

std::string Printable(const RequestName& name) { return PrintableName(name.text, name.size); }

}  // namespace

std::size_t LongestTableName(Napi::Env env) {
  const TokenStore* store = FindTokenStore(env);
  return store != nullptr ? store->longestName : 0;
}

Napi::Value GetToken(Napi::Env env, const RequestName& platform, const RequestName& userType,
                     const RequestName& host) {
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
    return NotFound(env, "Host '" + Printable(host) + "' not found in verificationTokenData");
  }
  Napi::Value platform_data;
  if (!GetOwn(env, host_data, platform, platform_data)) {
    return NotFound(env,
                    "Platform '" + Printable(platform) + "' not found in verificationTokenData");
  }
  Napi::Value token;
  if (!GetOwn(env, platform_data, userType, token)) {
    return NotFound(env, "UserType '" + Printable(userType) + "' not found under platform '" +
                             Printable(platform) + "'");
  }
  return token;
}

}  // namespace hv
