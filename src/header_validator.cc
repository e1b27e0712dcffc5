// Module registration: builds the environment's token table, then defines
// validateRequest and generateAuthCode on the exports object.
#include <napi.h>

#include <exception>

#include "operations.h"
#include "tokens/verification_token_data.h"

namespace {

// Throws message into JavaScript as a plain Error. Never lets an exception
// escape: the callers are the module's outermost frames.
void ThrowPlainError(napi_env env, const char* message) noexcept {
  try {
    Napi::Error::New(env, message).ThrowAsJavaScriptException();
  } catch (...) {
    // Creating the error failed too; Node-API has a pending exception of its own.
  }
}

// node-addon-api turns a Napi::Error leaving a callback into a JavaScript
// exception, but any other exception (a JSON error, bad_alloc) would terminate
// the process. Convert those here.
template <Napi::Value (*Operation)(const Napi::CallbackInfo&)>
Napi::Value Guarded(const Napi::CallbackInfo& info) {
  try {
    return Operation(info);
  } catch (const Napi::Error&) {
    throw;
  } catch (const std::exception& e) {
    throw Napi::Error::New(info.Env(), e.what());
  } catch (...) {
    throw Napi::Error::New(info.Env(), "Unknown native error");
  }
}

void DefineFunction(Napi::Env env, Napi::Object exports, const char* name,
                    Napi::Function::Callback callback) {
  // Created without a name: the function is reachable only through exports.
  exports.Set(name, Napi::Function::New(env, callback));
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  hv::InitializeVerificationTokenData(env);
  DefineFunction(env, exports, "validateRequest", Guarded<hv::ValidateRequest>);
  DefineFunction(env, exports, "generateAuthCode", Guarded<hv::GenerateAuthCode>);
  return exports;
}

}  // namespace

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return NAPI_VERSION; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
  try {
    return Init(Napi::Env(env), Napi::Object(env, exports));
  } catch (const Napi::Error& e) {
    try {
      e.ThrowAsJavaScriptException();
    } catch (...) {
    }
  } catch (const std::exception& e) {
    ThrowPlainError(env, e.what());
  } catch (...) {
    ThrowPlainError(env, "Unknown native error during module initialisation");
  }
  return nullptr;
}

}  // extern "C"
