// A team's own platforms and user types: the vocabulary file that the build's
// table check takes in place of the table format's "platforms", checked by the
// rule that shared/table_format.json states under "vocabularyFiles" for the
// encoder and this check alike.
#pragma once

#include <cstddef>
#include <regex>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace hv {

class VocabularyRule {
 public:
  // Throws when the rule is missing a field or its pattern does not compile.
  explicit VocabularyRule(const nlohmann::json& rule);

  // The first fault of a platforms object (platform -> list of user types),
  // one line naming it, or "" when the object follows the rule.
  std::string Problem(const nlohmann::json& platforms) const;

  std::size_t max_file_bytes() const { return max_file_bytes_; }

 private:
  std::string NameProblem(const nlohmann::json& name, const std::string& what) const;

  std::regex name_pattern_;
  std::string name_rule_;
  std::size_t max_platforms_;
  std::size_t max_user_types_;
  std::size_t max_file_bytes_;
};

// A fault of a vocabulary file, reported under its own name.
class VocabularyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Vocabulary {
  nlohmann::json platforms;  // platform -> user types, as the file lists them
  std::string text;          // the file's bytes, for its fingerprint
};

// Reads and checks a vocabulary file: a JSON object whose only member is
// "platforms". Throws VocabularyError "<path>: <fault>", one line.
Vocabulary ReadVocabularyFile(const std::string& path, const VocabularyRule& rule);

}  // namespace hv
