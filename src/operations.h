#pragma once

#include <napi.h>

namespace hv {

// generateAuthCode(platform, userType, host) -> string | null
Napi::Value GenerateAuthCode(const Napi::CallbackInfo& info);

// validateRequest(auth_code, platform, userType, host) -> boolean
Napi::Value ValidateRequest(const Napi::CallbackInfo& info);

}  // namespace hv
