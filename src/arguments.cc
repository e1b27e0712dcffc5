#include "arguments.h"

#include "common/printable_name.h"

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

RequestName ReadRequestName(const Napi::String& value, std::size_t longest) {
  if (Utf16Length(value) <= longest) {
    std::string whole = value.Utf8Value();
    const std::size_t size = whole.size();
    return {std::move(whole), size};
  }
  const napi_env env = value.Env();
  RequestName name;
  napi_status status = napi_get_value_string_utf8(env, value, nullptr, 0, &name.size);
  NAPI_THROW_IF_FAILED(env, status, RequestName{});
  // Node-API writes whole characters only, so the start is cut on a character
  // boundary at or before the buffer's end, past the printed limit.
  char start[kPrintedNameLimit + 8];
  std::size_t copied = 0;
  status = napi_get_value_string_utf8(env, value, start, sizeof(start), &copied);
  NAPI_THROW_IF_FAILED(env, status, RequestName{});
  name.text.assign(start, copied);
  return name;
}

}  // namespace hv
