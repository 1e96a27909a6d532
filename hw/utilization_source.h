// How busy each device is, and the interface every measuring back end offers.
//
// A UtilizationSample is a plain value always copied whole. All figures are
// percentages (0 idle, 100 fully busy). The value-initialized, all-zero record
// is also what "no reading" looks like.
//
// IUtilizationSource::Sample contract:
//   * true: the source took a reading, wrote the fields it measures, then
//     `timestamp` (steady clock, just after the reading) and `valid` = true.
//     Fields it does not measure are left exactly as the caller passed them.
//   * false: no reading this time (unavailable, or a platform call failed);
//     nothing was written.
//   * Platform failures are reported only through false, never by throwing.
// Sources are called from one thread at a time (the poller's) and hold no lock.
#ifndef IDLEWICK_HW_UTILIZATION_SOURCE_H_
#define IDLEWICK_HW_UTILIZATION_SOURCE_H_

#include <chrono>

namespace idlewick {

struct UtilizationSample {
  double cpu_pct = 0.0;   // share of all processors' time
  double igpu_pct = 0.0;  // sum of GPU 3D engines, 0..100
  double dgpu_pct = 0.0;  // discrete GPU, 0..100
  std::chrono::steady_clock::time_point timestamp{};
  bool valid = false;
};

class IUtilizationSource {
 public:
  virtual ~IUtilizationSource() = default;
  virtual bool Sample(UtilizationSample& out) = 0;
};

}  // namespace idlewick

#endif  // IDLEWICK_HW_UTILIZATION_SOURCE_H_
