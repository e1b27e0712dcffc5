// What a previous table changes, combination by combination, against the
// current one: compared by digests of the decoded tokens, never the tokens.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace hv {

struct Combination {
  std::string host;
  std::string platform;
  std::string user_type;

  bool operator<(const Combination& other) const {
    return std::tie(host, platform, user_type) <
           std::tie(other.host, other.platform, other.user_type);
  }
  // host/platform/userType, as the table check names a leaf.
  std::string Name() const { return host + "/" + platform + "/" + user_type; }
};

// The SHA-256 of each leaf's decoded token; empty for a leaf that cannot be
// decoded, which holds no token.
using LeafDigests = std::map<Combination, std::string>;

struct RotationReport {
  // In both tables, with a previous token that decodes and differs from the
  // current one: the only combinations where the previous table verifies.
  std::vector<Combination> rotated;
  // In both tables, and the previous table changes nothing: the same token, or
  // a previous leaf that cannot be decoded.
  std::vector<Combination> unchanged;
  // In the current table only.
  std::vector<Combination> added;
  // In the previous table only: refused, whatever the previous table holds.
  std::vector<Combination> removed;
};

// Each list in the tables' walk order (host, platform, user type, ascending).
RotationReport CompareTables(const LeafDigests& current, const LeafDigests& previous);

}  // namespace hv
