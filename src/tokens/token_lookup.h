#pragma once

#include <napi.h>

#include <cstddef>

#include "tokens/request_name.h"

namespace hv {

// Returns verificationTokenData[host][platform][userType] of the calling
// environment, own properties only. When any level is missing, writes one
// line naming it to standard error and returns an empty string.
Napi::Value GetToken(Napi::Env env, const RequestName& platform, const RequestName& userType,
                     const RequestName& host);

// Length in UTF-8 bytes of the longest name in the calling environment's
// table; 0 before the table is built.
std::size_t LongestTableName(Napi::Env env);

}  // namespace hv
