// The table walk and the numeral decoder over arbitrary JSON, through the
// Node-free core the module builds its table with. An object is walked as a
// token table, every leaf decoded; an array is decoded as one numeral list,
// where elements that are not strings stand for the module's non-string values.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "codec/numeral_decoder.h"
#include "fuzz_support.h"
#include "tokens/table_walk.h"

namespace {

using nlohmann::json;
using Elements = std::vector<std::optional<std::string>>;

// What the decoder must return: numerals parsed by the documented rules, the
// walk stopping at the first bad one, then the chain.
std::string ExpectedToken(const Elements& elements) {
  std::string encoded;
  for (const auto& element : elements) {
    if (!element) continue;
    const std::optional<int> value = hv::fuzz::ParseNumeral(*element);
    if (!value) return std::string();
    encoded.push_back(static_cast<char>(static_cast<unsigned int>(*value) & 0xFFu));
  }
  return hv::fuzz::RunChain(encoded).token;
}

void CheckDecoding(const Elements& elements) {
  HV_FUZZ_CHECK(hv::DecodeNumerals(elements) == ExpectedToken(elements));
}

bool IsWellShaped(const json& table) {
  if (!table.is_object()) return false;
  for (const auto& [host, platforms] : table.items()) {
    if (!platforms.is_object()) return false;
    for (const auto& [platform, user_types] : platforms.items()) {
      if (!user_types.is_object()) return false;
      for (const auto& [user_type, numerals] : user_types.items()) {
        if (!numerals.is_array()) return false;
        for (const auto& numeral : numerals) {
          if (!numeral.is_string()) return false;
        }
      }
    }
  }
  return true;
}

// Checks the visits against the table they came from.
class CheckingVisitor : public hv::TableVisitor {
 public:
  explicit CheckingVisitor(const json& table) : table_(table) {}

  void BeginHost(const std::string& host) override {
    HV_FUZZ_CHECK(!in_host_);
    HV_FUZZ_CHECK(!seen_host_ || previous_host_ < host);
    HV_FUZZ_CHECK(table_.contains(host));
    in_host_ = true;
    seen_host_ = true;
    previous_host_ = host;
    previous_platform_.reset();
  }

  void AddPlatform(const std::string& platform, const hv::UserTypeList& user_types) override {
    HV_FUZZ_CHECK(in_host_);
    HV_FUZZ_CHECK(!previous_platform_ || *previous_platform_ < platform);
    previous_platform_ = platform;
    const json& expected = table_.at(previous_host_).at(platform);
    HV_FUZZ_CHECK(user_types.size() == expected.size());
    const std::string* previous_user_type = nullptr;
    for (const auto& [user_type, numerals] : user_types) {
      HV_FUZZ_CHECK(previous_user_type == nullptr || *previous_user_type < user_type);
      previous_user_type = &user_type;
      HV_FUZZ_CHECK(expected.at(user_type) == json(numerals));
      CheckDecoding(Elements(numerals.begin(), numerals.end()));
    }
  }

  void EndHost(const std::string& host) override {
    HV_FUZZ_CHECK(in_host_ && host == previous_host_);
    in_host_ = false;
    ++hosts_;
  }

  bool in_host() const { return in_host_; }
  std::size_t hosts() const { return hosts_; }

 private:
  const json& table_;
  bool in_host_ = false;
  bool seen_host_ = false;
  std::string previous_host_;
  std::optional<std::string> previous_platform_;
  std::size_t hosts_ = 0;
};

bool IsWalkMessage(std::string_view message) {
  constexpr std::string_view kPrefix = "Invalid JSON structure: ";
  if (message.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view what = message.substr(kPrefix.size());
  return what == "Root is not an object" || what == "Host data is not an object" ||
         what == "Platform data is not an object" || what == "User type data is not an array" ||
         what == "ASCII array elements must be strings.";
}

void CheckWalk(const json& table) {
  CheckingVisitor visitor(table);
  std::string error;
  try {
    hv::WalkTokenTable(table, visitor);
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  if (IsWellShaped(table)) {
    HV_FUZZ_CHECK(error.empty());
    HV_FUZZ_CHECK(!visitor.in_host());
    HV_FUZZ_CHECK(visitor.hosts() == table.size());
  } else {
    HV_FUZZ_CHECK(IsWalkMessage(error));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  json parsed;
  try {
    parsed = hv::ParseTokenTable(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const json::parse_error&) {
    return 0;
  } catch (const json::out_of_range& e) {
    // A number too large for a double is the one other way the parser refuses text.
    HV_FUZZ_CHECK(e.id == 406);
    return 0;
  }
  if (parsed.is_array()) {
    Elements elements;
    for (const auto& element : parsed) {
      if (element.is_string()) {
        elements.emplace_back(element.get<std::string>());
      } else {
        elements.emplace_back(std::nullopt);
      }
    }
    CheckDecoding(elements);
  }
  CheckWalk(parsed);
  return 0;
}
