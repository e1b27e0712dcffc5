#include "arguments.h"

namespace hv {

bool HasStringArguments(const Napi::CallbackInfo& info, std::size_t count) {
  if (info.Length() != count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!info[i].IsString()) return false;
  }
  return true;
}

void ThrowArgumentError(Napi::Env env, const char* message) {
  Napi::TypeError::New(env, message).ThrowAsJavaScriptException();
}

std::size_t Utf16Length(const Napi::String& value) {
  std::size_t length = 0;
  const napi_status status = napi_get_value_string_utf16(value.Env(), value, nullptr, 0, &length);
  NAPI_THROW_IF_FAILED(value.Env(), status, 0);
  return length;
}

}  // namespace hv
