// JSON read as the module's parser would read it, but refusing what that
// parser would silently resolve: an object with the same key twice.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace hv {

// Parses text; throws std::runtime_error "<what>: the key "<key>" appears twice
// in one object" for a repeated key, and nlohmann's parse error for text that
// is not JSON.
nlohmann::json ParseRejectingDuplicates(const std::string& text, const std::string& what);

}  // namespace hv
