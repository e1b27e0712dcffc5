#pragma once

#include <napi.h>

#include "tokens/table_walk.h"

namespace hv {

// Decodes the compiled-in table into verificationTokenData (host -> platform
// -> user type -> token string) and keeps it in the environment's store.
// Throws on a table of the wrong shape or a failing Node-API call; a table
// already installed stays installed when a rebuild fails.
void InitializeVerificationTokenData(Napi::Env env);

// Builds one platform's object: user type -> decoded token.
Napi::Object CreatePlatformData(Napi::Env env, const UserTypeList& user_types);

}  // namespace hv
