// The table of one Node.js environment. Every environment that loads the
// module (the main thread, each worker, each separate load) builds and keeps
// its own, released by that environment's teardown.
#pragma once

#include <napi.h>

namespace hv {

struct TokenStore {
  Napi::ObjectReference verificationTokenDataRef;
};

// The calling environment's store, or nullptr before its table was built.
TokenStore* FindTokenStore(Napi::Env env);

// The calling environment's store, created on first use.
TokenStore& TokenStoreOf(Napi::Env env);

}  // namespace hv
