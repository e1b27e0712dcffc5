#pragma once

#include <string>

namespace hv {

// Decodes standard Base64 written on one line. Throws std::runtime_error
// "Base64 decoding failed" when no byte comes out.
std::string Base64Decode(const std::string& text);

}  // namespace hv
