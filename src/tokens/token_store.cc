#include "tokens/token_store.h"

namespace hv {

TokenStore* FindTokenStore(Napi::Env env) { return env.GetInstanceData<TokenStore>(); }

TokenStore& TokenStoreOf(Napi::Env env) {
  // Setting instance data twice would drop the first store without
  // finalizing it, so reuse the one already there.
  if (TokenStore* store = FindTokenStore(env)) return *store;
  auto* store = new TokenStore();
  env.SetInstanceData<TokenStore>(store);  // The environment deletes it at teardown.
  return *store;
}

}  // namespace hv
