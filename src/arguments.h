#pragma once

#include <napi.h>

#include <cstddef>
#include <string>

#include "tokens/request_name.h"

namespace hv {

// True when exactly `count` arguments were passed and every one is a string.
bool HasStringArguments(const Napi::CallbackInfo& info, std::size_t count);

// Throws a TypeError into JavaScript. The operation then returns its fallback
// value, which the caller never sees.
void ThrowArgumentError(Napi::Env env, const char* message);

// Length of a JavaScript string in UTF-16 units, read without converting it.
std::size_t Utf16Length(const Napi::String& value);

// Reads a name argument. One of more than `longest` UTF-16 units is longer
// than any name of `longest` UTF-8 bytes, so it cannot be in the table: only
// its UTF-8 length and the start that a log line prints are read.
RequestName ReadRequestName(const Napi::String& value, std::size_t longest);

}  // namespace hv
