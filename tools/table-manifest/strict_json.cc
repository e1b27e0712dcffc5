#include "strict_json.h"

#include "common/printable_name.h"

#include <set>
#include <stdexcept>
#include <vector>

namespace hv {

nlohmann::json ParseRejectingDuplicates(const std::string& text, const std::string& what) {
  using nlohmann::json;
  std::vector<std::set<std::string>> open_objects;
  std::string duplicate;
  json::parser_callback_t callback = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      open_objects.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      open_objects.pop_back();
    } else if (event == json::parse_event_t::key) {
      const auto& key = parsed.get_ref<const std::string&>();
      if (!open_objects.back().insert(key).second && duplicate.empty()) duplicate = key;
    }
    return true;
  };
  json value = json::parse(text, callback);
  if (!duplicate.empty()) {
    throw std::runtime_error(what + ": the key \"" + PrintableName(duplicate) +
                             "\" appears twice in one object");
  }
  return value;
}

}  // namespace hv
