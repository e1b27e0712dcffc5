// The table of one Node.js environment. Every environment that loads the
// module (the main thread, each worker, each separate load) builds and keeps
// its own, released by that environment's teardown.
#pragma once

#include <napi.h>

#include <cstddef>

namespace hv {

struct TokenStore {
  Napi::ObjectReference verificationTokenDataRef;
  // Length in UTF-8 bytes of the longest host, platform or user-type name in
  // the table: a longer name cannot be found, whatever it holds.
  std::size_t longestName = 0;
};

// The calling environment's store, or nullptr before its table was built.
TokenStore* FindTokenStore(Napi::Env env);

// The calling environment's store, created on first use.
TokenStore& TokenStoreOf(Napi::Env env);

}  // namespace hv
