// How a new task's device is chosen, as pure functions over load figures.
//
// Scheduler::SelectDevice (declared in scheduler.h, implemented in
// routing.cc) decides which devices are eligible (registered, not degraded,
// supporting the kind) and compares the eligible ones with the functions
// below. A comparison is by ExpectedCompletionMs (lower wins) when every
// compared device has a latency history, and by Score (higher wins)
// otherwise. Ties go to the earlier device in the order cpu, igpu, dgpu.
//
// All functions here are pure, allocation-free and thread-safe.
#ifndef IDLEWICK_CORE_ROUTING_H_
#define IDLEWICK_CORE_ROUTING_H_

#include <cstdint>

#include "core/scoring_weights.h"

namespace idlewick {

// The load of one device at one moment. backlog = queue_depth + in_flight.
struct DeviceLoad {
  double utilization_pct = 0.0;
  std::uint64_t queue_depth = 0;
  double historical_latency_ms = 0.0;  // 0.0 means no history yet
  std::uint64_t in_flight = 0;
};

// w1*(1 - U/100) + w2/(backlog + 1) + w3/(latency + 1); no clamp. Higher is
// better.
double Score(const DeviceLoad& load, const ScoringWeights& weights) noexcept;
// latency * (backlog + 1): when a new task would finish. Lower is better.
double ExpectedCompletionMs(const DeviceLoad& load) noexcept;
// True when `second` strictly beats `first`.
bool SecondIsBetter(const DeviceLoad& first, const DeviceLoad& second,
                    const ScoringWeights& weights) noexcept;
// Index 0, 1 or 2 of the winner.
int BestOfThree(const DeviceLoad& cpu, const DeviceLoad& igpu,
                const DeviceLoad& dgpu, const ScoringWeights& weights) noexcept;

}  // namespace idlewick

#endif  // IDLEWICK_CORE_ROUTING_H_
