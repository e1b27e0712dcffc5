#include "host_name_rule.h"

#include <algorithm>

namespace hv {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

HostNameRule::HostNameRule(const nlohmann::json& rule)
    : label_pattern_(rule.at("labelPattern").get<std::string>(), std::regex::ECMAScript),
      port_pattern_(rule.at("portPattern").get<std::string>(), std::regex::ECMAScript),
      max_label_length_(rule.at("maxLabelLength").get<std::size_t>()),
      max_name_length_(rule.at("maxNameLength").get<std::size_t>()),
      all_digit_names_refused_(rule.at("allDigitNamesRefused").get<bool>()),
      min_port_(rule.at("ports").at("min").get<unsigned long>()),
      max_port_(rule.at("ports").at("max").get<unsigned long>()) {}

bool HostNameRule::Accepts(const std::string& host) const {
  const std::size_t colon = host.find(':');
  if (colon == std::string::npos) return AcceptsName(host);
  return AcceptsName(host.substr(0, colon)) && AcceptsPort(host.substr(colon + 1));
}

bool HostNameRule::AcceptsName(const std::string& name) const {
  // Lengths first: the patterns then only ever see short labels.
  if (name.size() > max_name_length_) return false;
  if (all_digit_names_refused_ && !name.empty() && std::all_of(name.begin(), name.end(), IsDigit)) {
    return false;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = name.find('.', start);
    const std::string label = name.substr(start, dot == std::string::npos ? dot : dot - start);
    if (label.size() > max_label_length_ || !std::regex_match(label, label_pattern_)) return false;
    if (dot == std::string::npos) return true;
    start = dot + 1;
  }
}

bool HostNameRule::AcceptsPort(const std::string& port) const {
  if (!std::regex_match(port, port_pattern_)) return false;
  // Digits only, read no further than the largest port.
  unsigned long value = 0;
  for (const char c : port) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > max_port_) return false;
  }
  return value >= min_port_;
}

}  // namespace hv
