// The rule a host of the token table must follow, as shared/table_format.json
// states it under "hostNames" for the encoder and this check alike.
#pragma once

#include <cstddef>
#include <regex>
#include <string>

#include <nlohmann/json.hpp>

namespace hv {

class HostNameRule {
 public:
  // Throws when the rule is missing a field or a pattern does not compile.
  explicit HostNameRule(const nlohmann::json& rule);

  // Whether host is a name, optionally followed by ':' and a port, that the
  // rule accepts.
  bool Accepts(const std::string& host) const;

 private:
  bool AcceptsName(const std::string& name) const;
  bool AcceptsPort(const std::string& port) const;

  std::regex label_pattern_;
  std::regex port_pattern_;
  std::size_t max_label_length_;
  std::size_t max_name_length_;
  bool all_digit_names_refused_;
  unsigned long min_port_;
  unsigned long max_port_;
};

}  // namespace hv
