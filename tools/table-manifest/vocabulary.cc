#include "vocabulary.h"

#include <fstream>
#include <set>
#include <stdexcept>

#include "common/printable_name.h"
#include "strict_json.h"

namespace hv {
namespace {

using nlohmann::json;

std::string Quoted(const std::string& name) { return "\"" + PrintableName(name) + "\""; }

std::string KindOf(const json& value) {
  if (value.is_object()) return "an object";
  if (value.is_array()) return "an array";
  if (value.is_string()) return "a string";
  if (value.is_number()) return "a number";
  if (value.is_boolean()) return "a boolean";
  return "null";
}

}  // namespace

VocabularyRule::VocabularyRule(const json& rule)
    : name_pattern_(rule.at("namePattern").get<std::string>(), std::regex::ECMAScript),
      name_rule_(rule.at("nameRule").get<std::string>()),
      max_platforms_(rule.at("maxPlatforms").get<std::size_t>()),
      max_user_types_(rule.at("maxUserTypesPerPlatform").get<std::size_t>()),
      max_file_bytes_(rule.at("maxFileBytes").get<std::size_t>()) {}

std::string VocabularyRule::NameProblem(const json& name, const std::string& what) const {
  if (!name.is_string()) return what + " must be a string, found " + KindOf(name);
  const auto& text = name.get_ref<const std::string&>();
  if (std::regex_match(text, name_pattern_)) return "";
  return what + " " + Quoted(text) + " is not a name: names are " + name_rule_;
}

std::string VocabularyRule::Problem(const json& platforms) const {
  if (!platforms.is_object()) {
    return "platforms must be a JSON object of platform names, found " + KindOf(platforms);
  }
  if (platforms.empty() || platforms.size() > max_platforms_) {
    return "platforms must hold 1 to " + std::to_string(max_platforms_) + " platforms, not " +
           std::to_string(platforms.size());
  }
  for (const auto& [platform, user_types] : platforms.items()) {
    if (const std::string problem = NameProblem(platform, "platform name"); !problem.empty()) {
      return problem;
    }
    const std::string where = "platforms." + platform;
    if (!user_types.is_array() || user_types.empty() || user_types.size() > max_user_types_) {
      return where + " must be a list of 1 to " + std::to_string(max_user_types_) +
             " user-type names";
    }
    std::set<std::string> seen;
    for (const auto& user_type : user_types) {
      if (const std::string problem = NameProblem(user_type, where + ": user-type name");
          !problem.empty()) {
        return problem;
      }
      if (!seen.insert(user_type.get<std::string>()).second) {
        return where + ": user type " + user_type.get<std::string>() + " appears twice";
      }
    }
  }
  return "";
}

Vocabulary ReadVocabularyFile(const std::string& path, const VocabularyRule& rule) {
  const auto fault = [&](const std::string& what) { return VocabularyError(path + ": " + what); };
  std::ifstream in(path, std::ios::binary);
  if (!in) throw fault("cannot be read");
  // One byte past the bound tells a file at the bound from a longer one.
  std::string text(rule.max_file_bytes() + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw fault("cannot be read");
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > rule.max_file_bytes()) {
    throw fault("the file has more than " + std::to_string(rule.max_file_bytes()) + " bytes");
  }
  json file;
  try {
    file = ParseRejectingDuplicates(text, path);
  } catch (const json::parse_error& e) {
    throw fault("not valid JSON: error at byte " + std::to_string(e.byte));
  } catch (const std::runtime_error& e) {
    throw VocabularyError(e.what());  // a repeated key, already named with the file
  }
  if (!file.is_object() || file.size() != 1 || !file.contains("platforms")) {
    throw fault("it must be a JSON object whose only member is platforms");
  }
  const json& platforms = file.at("platforms");
  if (const std::string problem = rule.Problem(platforms); !problem.empty()) throw fault(problem);
  return {platforms, text};
}

}  // namespace hv
