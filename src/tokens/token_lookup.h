#pragma once

#include <napi.h>

#include <string>

namespace hv {

// Returns verificationTokenData[host][platform][userType] of the calling
// environment, own properties only. When any level is missing, writes one
// line naming it to standard error and returns an empty string.
Napi::Value GetToken(Napi::Env env, const std::string& platform, const std::string& userType,
                     const std::string& host);

}  // namespace hv
