// Joins two sources into one: the primary decides whether there is a reading
// at all (and its timestamp and valid flag stand); the secondary can only
// ever contribute the discrete-GPU figure.
//
// Not thread-safe, like every source: called from the poller thread only.
#ifndef IDLEWICK_HW_COMBINED_UTILIZATION_SOURCE_H_
#define IDLEWICK_HW_COMBINED_UTILIZATION_SOURCE_H_

#include <memory>

#include "hw/utilization_source.h"

namespace idlewick {

class CombinedUtilizationSource final : public IUtilizationSource {
 public:
  // Takes both over; either may be empty.
  CombinedUtilizationSource(std::unique_ptr<IUtilizationSource> primary,
                            std::unique_ptr<IUtilizationSource> secondary) noexcept;
  ~CombinedUtilizationSource() override;

  // False when the primary is missing or fails (the secondary is then not
  // called). Otherwise true, with out.dgpu_pct replaced by the secondary's
  // figure when the secondary delivers and left alone when it does not.
  bool Sample(UtilizationSample& out) override;

 private:
  std::unique_ptr<IUtilizationSource> primary_;
  std::unique_ptr<IUtilizationSource> secondary_;
};

}  // namespace idlewick

#endif  // IDLEWICK_HW_COMBINED_UTILIZATION_SOURCE_H_
