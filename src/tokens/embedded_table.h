#pragma once

#include <string_view>

namespace hv {

// JSON text of the encoded token table compiled into this build.
std::string_view EmbeddedTokenTable();

}  // namespace hv
