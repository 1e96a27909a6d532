#include "core/mock_backend.h"

#include <utility>

namespace idlewick::testing {

MockBackend::MockBackend(DeviceId device, std::string name)
    : device_(device), name_(std::move(name)) {}

TaskResult MockBackend::Submit(const Task& task) {
  TaskResult result;
  result.id = task.id;
  result.latency_ms = reported_latency_ms_;
  result.first_token_latency_ms = reported_latency_ms_;
  if (force_failure_.load()) {
    result.error_message = kForcedFailureMessage;
    return result;
  }
  result.status = TaskStatus::kOk;
  result.text_output = task.text_input;
  result.numeric_output = task.numeric_input;
  return result;
}

bool MockBackend::IsDegraded() const { return degraded_.load(); }

void MockBackend::SetDegraded(bool degraded) { degraded_.exchange(degraded); }

bool MockBackend::SupportsKind(TaskKind kind) const {
  return kind == TaskKind::kTextGeneration ? supports_text_generation_.load()
                                           : supports_other_kinds_.load();
}

void MockBackend::SetForceFailure(bool fail) { force_failure_.exchange(fail); }

void MockBackend::SetSupportsKind(TaskKind kind, bool supported) {
  (kind == TaskKind::kTextGeneration ? supports_text_generation_
                                     : supports_other_kinds_)
      .exchange(supported);
}

}  // namespace idlewick::testing
