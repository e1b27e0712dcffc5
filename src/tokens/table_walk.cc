#include "tokens/table_walk.h"

#include <stdexcept>

namespace hv {
namespace {

[[noreturn]] void Invalid(const char* what) {
  throw std::runtime_error(std::string("Invalid JSON structure: ") + what);
}

std::vector<std::string> CopyNumerals(const nlohmann::json& numerals) {
  std::vector<std::string> out;
  out.reserve(numerals.size());
  for (const auto& element : numerals) {
    if (!element.is_string()) Invalid("ASCII array elements must be strings.");
    out.push_back(element.get<std::string>());
  }
  return out;
}

}  // namespace

nlohmann::json ParseTokenTable(std::string_view text) { return nlohmann::json::parse(text); }

void WalkTokenTable(const nlohmann::json& table, TableVisitor& visitor) {
  // Iterating anything but an object would invent keys; a table built from
  // another file could be an array or a scalar.
  if (!table.is_object()) Invalid("Root is not an object");

  for (const auto& [host, platforms] : table.items()) {
    if (!platforms.is_object()) Invalid("Host data is not an object");
    visitor.BeginHost(host);
    for (const auto& [platform, user_types] : platforms.items()) {
      if (!user_types.is_object()) Invalid("Platform data is not an object");
      UserTypeList list;
      for (const auto& [user_type, numerals] : user_types.items()) {
        if (!numerals.is_array()) Invalid("User type data is not an array");
        list.emplace_back(user_type, CopyNumerals(numerals));
      }
      visitor.AddPlatform(platform, list);
    }
    visitor.EndHost(host);
  }
}

}  // namespace hv
