#include "core/telemetry.h"

#include "core/scheduler.h"

namespace idlewick {

TelemetrySnapshot Scheduler::GetTelemetry() const {
  TelemetrySnapshot snapshot;
  FillTelemetry(snapshot.devices[0], slots_[0], DeviceId::kCpu);
  FillTelemetry(snapshot.devices[1], slots_[1], DeviceId::kIgpu);
  FillTelemetry(snapshot.devices[2], slots_[2], DeviceId::kDgpu);
  return snapshot;
}

void Scheduler::FillTelemetry(DeviceTelemetry& record, const DeviceSlot& slot,
                              DeviceId device) const {
  record.device = device;
  record.registered = slot.backend != nullptr;
  if (slot.backend != nullptr) record.degraded = slot.backend->IsDegraded();
  record.queue_depth =
      slot.interactive_queue.size_approx() + slot.background_queue.size_approx();
  record.historical_latency_ms = slot.historical_latency_ms.load();
  record.completed_count = slot.completed_count.load();
  record.failed_count = slot.failed_count.load();
  record.utilization_pct = UtilizationOf(device);
}

}  // namespace idlewick
