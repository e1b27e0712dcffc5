#include "tokens/verification_token_data.h"

#include <algorithm>

#include "codec/decode_ascii_array.h"
#include "common/wipe.h"
#include "tokens/embedded_table.h"
#include "tokens/token_store.h"

namespace hv {
namespace {

// Keys are created with their explicit length, so a name is never cut short.
Napi::String Key(Napi::Env env, const std::string& name) { return Napi::String::New(env, name); }

class ObjectBuilder : public TableVisitor {
 public:
  explicit ObjectBuilder(Napi::Env env) : env_(env), root_(Napi::Object::New(env)) {}

  void BeginHost(const std::string& host) override {
    host_ = Napi::Object::New(env_);
    Measure(host);
  }
  void AddPlatform(const std::string& platform, const UserTypeList& user_types) override {
    host_.Set(Key(env_, platform), CreatePlatformData(env_, user_types));
    Measure(platform);
    for (const auto& user_type : user_types) Measure(user_type.first);
  }
  void EndHost(const std::string& host) override { root_.Set(Key(env_, host), host_); }

  Napi::Object root() const { return root_; }
  std::size_t longest_name() const { return longest_name_; }

 private:
  Napi::Env env_;
  Napi::Object root_;
  Napi::Object host_;
  std::size_t longest_name_ = 0;

  void Measure(const std::string& name) { longest_name_ = std::max(longest_name_, name.size()); }
};

}  // namespace

Napi::Object CreatePlatformData(Napi::Env env, const UserTypeList& user_types) {
  Napi::Object platform = Napi::Object::New(env);
  for (const auto& [user_type, numerals] : user_types) {
    Napi::Array array = Napi::Array::New(env, numerals.size());
    for (std::size_t i = 0; i < numerals.size(); ++i) {
      array.Set(static_cast<uint32_t>(i), Napi::String::New(env, numerals[i]));
    }
    std::string token = DecodeAsciiArray(array);
    const WipeOnExit wipe_token(token);
    platform.Set(Key(env, user_type), Napi::String::New(env, token));
  }
  return platform;
}

void InitializeVerificationTokenData(Napi::Env env) {
  ObjectBuilder builder(env);
  {
    const nlohmann::json table = ParseTokenTable(EmbeddedTokenTable());
    WalkTokenTable(table, builder);
  }  // The encoded table is not kept past the build.
  // Replacing the reference deletes the one an earlier build installed.
  TokenStore& store = TokenStoreOf(env);
  store.verificationTokenDataRef = Napi::Persistent(builder.root());
  store.longestName = builder.longest_name();
}

}  // namespace hv
