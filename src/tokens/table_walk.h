// Walks an encoded token table (host -> platform -> user type -> numerals) and
// checks its shape. Free of Node-API: the module builds its JavaScript table
// from the visits, the build's table check and the tests their own structures.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace hv {

// One platform's user types in key order, each with the element strings of its
// encoded token in array order.
using UserTypeList = std::vector<std::pair<std::string, std::vector<std::string>>>;

class TableVisitor {
 public:
  virtual ~TableVisitor() = default;
  virtual void BeginHost(const std::string& host) = 0;
  virtual void AddPlatform(const std::string& platform, const UserTypeList& user_types) = 0;
  virtual void EndHost(const std::string& host) = 0;
};

// Parses the table's JSON text; throws nlohmann::json::parse_error, or
// nlohmann::json::out_of_range for a number beyond the range of a double.
nlohmann::json ParseTokenTable(std::string_view text);

// Visits hosts, then platforms, in ascending key order. Throws
// std::runtime_error("Invalid JSON structure: ...") at the first value of the
// wrong kind; platforms visited before it stay visited.
void WalkTokenTable(const nlohmann::json& table, TableVisitor& visitor);

}  // namespace hv
