#include "rotation_report.h"

namespace hv {

RotationReport CompareTables(const LeafDigests& current, const LeafDigests& previous) {
  RotationReport report;
  for (const auto& [combination, digest] : current) {
    const auto old = previous.find(combination);
    if (old == previous.end()) {
      report.added.push_back(combination);
    } else if (!old->second.empty() && old->second != digest) {
      report.rotated.push_back(combination);
    } else {
      report.unchanged.push_back(combination);
    }
  }
  for (const auto& [combination, digest] : previous) {
    if (current.count(combination) == 0) report.removed.push_back(combination);
  }
  return report;
}

}  // namespace hv
