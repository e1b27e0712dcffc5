#pragma once

#include <napi.h>

#include <string>

namespace hv {

// Decodes one encoded token held in a JavaScript array of numeral strings.
// Bad data is logged and yields an empty string; only a failing Node-API call
// while reading the array's length or an element's type throws.
std::string DecodeAsciiArray(const Napi::Array& array);

}  // namespace hv
