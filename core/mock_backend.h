// The echo backend: returns each task's payload unchanged, reporting a fixed
// latency, with switches for forced failure, per-kind support and the
// degraded state so that routing and recovery can be exercised without
// inference hardware.
//
// Thread-safety: every switch is a single-byte atomic, written with an atomic
// exchange (a fully ordered store) and read with a sequentially consistent
// load; no operation takes a lock. Submit follows the IBackend contract (one
// caller at a time) but touches only atomics and the task, so concurrent
// calls would be harmless too.
#ifndef IDLEWICK_CORE_MOCK_BACKEND_H_
#define IDLEWICK_CORE_MOCK_BACKEND_H_

#include <atomic>
#include <string>

#include "core/backend.h"

namespace idlewick::testing {

class MockBackend final : public IBackend {
 public:
  MockBackend(DeviceId device, std::string name);

  DeviceId device() const override { return device_; }
  std::string name() const override { return name_; }

  // Echoes text and numeric payload (a view stays a view on the same memory
  // and shares its owner) with status kOk, or fails with a fixed message
  // while forced to. Both latency fields carry the reported latency either
  // way. Ignores the task's kind, the support flags and the degraded state.
  // Throws std::bad_alloc only if copying the payload does.
  TaskResult Submit(const Task& task) override;

  bool IsDegraded() const override;
  void SetDegraded(bool degraded) override;
  // kTextGeneration reads its own flag; embedding and image generation share
  // one flag.
  bool SupportsKind(TaskKind kind) const override;

  void SetForceFailure(bool fail);
  void SetSupportsKind(TaskKind kind, bool supported);

  static constexpr const char* kForcedFailureMessage =
      "MockBackend: forced failure for testing";

 private:
  const DeviceId device_;
  const std::string name_;
  std::atomic<bool> degraded_{false};
  std::atomic<bool> force_failure_{false};
  std::atomic<bool> supports_text_generation_{true};
  std::atomic<bool> supports_other_kinds_{true};
  const double reported_latency_ms_ = 1.0;
};

}  // namespace idlewick::testing

#endif  // IDLEWICK_CORE_MOCK_BACKEND_H_
