// Processor and GPU 3D-engine utilization from the platform's performance
// counters (see hw/perf_counters.h).
//
// One query holds the processor-total counter and one counter per GPU engine
// instance whose path contains "engtype_3D". `Sample` collects the query
// once and writes `cpu_pct` (as reported, unclamped) and `igpu_pct` (the sum
// of the 3D engines that have a value, clamped at 100). Counters are rates,
// so the first `Sample` after construction has no reading. GPU engines come
// and go with the programs that use them: they are rediscovered on every
// (kRefreshAfterSamples + 1)-th `Sample`, and on every `Sample` after a
// failed rediscovery until one succeeds. Rediscovered counters have only
// one collection, so the `Sample` that rediscovers reports `igpu_pct` 0.0.
//
// Failure: when the query or the processor counter cannot be set up the
// source is unavailable for good and every `Sample` returns false. A failed
// collection or a refused processor value makes that `Sample` return false
// with nothing written. Nothing throws for a platform failure.
//
// Thread-safety: none. Sampled from one thread at a time (the poller's);
// constructed and destroyed while nothing samples it.
#ifndef IDLEWICK_HW_PDH_UTILIZATION_SOURCE_H_
#define IDLEWICK_HW_PDH_UTILIZATION_SOURCE_H_

#include <cstdint>
#include <memory>
#include <vector>

#include "hw/perf_counters.h"
#include "hw/utilization_source.h"

namespace idlewick {

class PdhUtilizationSource final : public IUtilizationSource {
 public:
  static constexpr std::int32_t kRefreshAfterSamples = 50;

  // Reads the platform's counters (on Linux, under /proc).
  PdhUtilizationSource();
  // Reads through `counters`; a null one leaves the source unavailable.
  explicit PdhUtilizationSource(std::unique_ptr<PerfCounters> counters);
  ~PdhUtilizationSource() override;

  PdhUtilizationSource(const PdhUtilizationSource&) = delete;
  PdhUtilizationSource& operator=(const PdhUtilizationSource&) = delete;

  bool Sample(UtilizationSample& out) override;

 private:
  bool RefreshGpuEngineCounters();

  std::unique_ptr<PerfCounters> counters_;
  PerfQueryHandle query_{};  // null when opening failed or was undone
  PerfCounterHandle cpu_counter_{};
  std::vector<PerfCounterHandle> gpu_counters_;  // 3D engines, list order
  std::int32_t samples_since_refresh_ = 0;
  bool ready_ = false;  // query and processor counter exist
};

}  // namespace idlewick

#endif  // IDLEWICK_HW_PDH_UTILIZATION_SOURCE_H_
