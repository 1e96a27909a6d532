#include "hw/combined_utilization_source.h"

#include <utility>

namespace idlewick {

CombinedUtilizationSource::CombinedUtilizationSource(
    std::unique_ptr<IUtilizationSource> primary,
    std::unique_ptr<IUtilizationSource> secondary) noexcept
    : primary_(std::move(primary)), secondary_(std::move(secondary)) {}

CombinedUtilizationSource::~CombinedUtilizationSource() {
  // The secondary goes first, the reverse of construction order in the chain.
  secondary_.reset();
  primary_.reset();
}

bool CombinedUtilizationSource::Sample(UtilizationSample& out) {
  if (primary_ == nullptr || !primary_->Sample(out)) return false;
  if (secondary_ == nullptr) return true;
  UtilizationSample secondary_reading{};
  if (secondary_->Sample(secondary_reading)) {
    out.dgpu_pct = secondary_reading.dgpu_pct;
  }
  return true;
}

}  // namespace idlewick
