#pragma once

#include <napi.h>

#include <cstddef>
#include <string>

namespace hv {

// True when exactly `count` arguments were passed and every one is a string.
bool HasStringArguments(const Napi::CallbackInfo& info, std::size_t count);

// Throws a TypeError into JavaScript. The operation then returns its fallback
// value, which the caller never sees.
void ThrowArgumentError(Napi::Env env, const char* message);

// Length of a JavaScript string in UTF-16 units, read without converting it.
std::size_t Utf16Length(const Napi::String& value);

}  // namespace hv
