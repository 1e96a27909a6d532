// A per-device report of the scheduler's state, for watching it at work.
//
// Scheduler::GetTelemetry (scheduler.h, implemented in telemetry.cc) takes no
// scheduler lock, so a snapshot is not one instant: counters of different
// devices, and even two fields of one record, may come from moments a task
// apart, and the utilization figures from different poller samples.
#ifndef IDLEWICK_CORE_TELEMETRY_H_
#define IDLEWICK_CORE_TELEMETRY_H_

#include <array>
#include <cstdint>

#include "core/task.h"

namespace idlewick {

struct DeviceTelemetry {
  DeviceId device = DeviceId::kCpu;
  bool registered = false;
  bool degraded = false;  // false when not registered
  double utilization_pct = 0.0;
  std::uint64_t queue_depth = 0;  // queued only; the task in hand is not counted
  double historical_latency_ms = 0.0;
  std::uint64_t completed_count = 0;
  std::uint64_t failed_count = 0;
};

// Index 0 cpu, 1 igpu, 2 dgpu; every device is always present.
struct TelemetrySnapshot {
  std::array<DeviceTelemetry, 3> devices{};
};

}  // namespace idlewick

#endif  // IDLEWICK_CORE_TELEMETRY_H_
