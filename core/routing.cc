#include "core/routing.h"

#include "core/scheduler.h"

namespace idlewick {

double Score(const DeviceLoad& load, const ScoringWeights& weights) noexcept {
  const double backlog = static_cast<double>(load.queue_depth + load.in_flight);
  const double u = weights.w1 * (1.0 - load.utilization_pct / 100.0);
  const double q = weights.w2 * (1.0 / (backlog + 1.0));
  const double l = weights.w3 * (1.0 / (load.historical_latency_ms + 1.0));
  return (u + q) + l;
}

double ExpectedCompletionMs(const DeviceLoad& load) noexcept {
  const double backlog = static_cast<double>(load.queue_depth + load.in_flight);
  return load.historical_latency_ms * (backlog + 1.0);
}

bool SecondIsBetter(const DeviceLoad& first, const DeviceLoad& second,
                    const ScoringWeights& weights) noexcept {
  if (first.historical_latency_ms > 0.0 && second.historical_latency_ms > 0.0) {
    return ExpectedCompletionMs(second) < ExpectedCompletionMs(first);
  }
  return Score(second, weights) > Score(first, weights);
}

int BestOfThree(const DeviceLoad& cpu, const DeviceLoad& igpu,
                const DeviceLoad& dgpu, const ScoringWeights& weights) noexcept {
  if (cpu.historical_latency_ms > 0.0 && igpu.historical_latency_ms > 0.0 &&
      dgpu.historical_latency_ms > 0.0) {
    const double c0 = ExpectedCompletionMs(cpu);
    const double c1 = ExpectedCompletionMs(igpu);
    const double c2 = ExpectedCompletionMs(dgpu);
    if (c1 < c0) return c2 < c1 ? 2 : 1;
    return c2 < c0 ? 2 : 0;
  }
  const double s0 = Score(cpu, weights);
  const double s1 = Score(igpu, weights);
  const double s2 = Score(dgpu, weights);
  if (s0 < s1) return s1 < s2 ? 2 : 1;
  return s0 < s2 ? 2 : 0;
}

bool Scheduler::IsEligible(const DeviceSlot& slot, TaskKind kind) const {
  return slot.backend != nullptr && !slot.backend->IsDegraded() &&
         slot.backend->SupportsKind(kind);
}

DeviceLoad Scheduler::GatherLoad(DeviceId device) const {
  const DeviceSlot& slot = slots_[SlotFor(device)];
  DeviceLoad load;
  load.utilization_pct = UtilizationOf(device);
  load.queue_depth =
      slot.interactive_queue.size_approx() + slot.background_queue.size_approx();
  load.historical_latency_ms = slot.historical_latency_ms.load();
  load.in_flight = slot.in_flight.load();
  return load;
}

DeviceId Scheduler::SelectDevice(TaskKind kind) const {
  constexpr DeviceId kDevices[] = {DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu};
  DeviceId eligible[3];
  int count = 0;
  for (DeviceId device : kDevices) {
    if (IsEligible(slots_[SlotFor(device)], kind)) eligible[count++] = device;
  }
  switch (count) {
    case 0:
      return DeviceId::kCpu;
    case 1:
      return eligible[0];
    case 2:
      return SecondIsBetter(GatherLoad(eligible[0]), GatherLoad(eligible[1]), weights_)
                 ? eligible[1]
                 : eligible[0];
    default:
      return kDevices[BestOfThree(GatherLoad(DeviceId::kCpu),
                                  GatherLoad(DeviceId::kIgpu),
                                  GatherLoad(DeviceId::kDgpu), weights_)];
  }
}

}  // namespace idlewick
