// The contract between the scheduler and an inference backend.
//
// Threads: Submit is called only by the worker thread of the backend's device,
// one task at a time, so calls on one backend never overlap. IsDegraded,
// SetDegraded and SupportsKind may be called from any thread at any time,
// concurrently with Submit, and must be thread-safe.
//
// Backends report failure through the result's status, never by throwing; the
// result's id must equal the task's id, because the scheduler files the result
// under the result's own id.
#ifndef IDLEWICK_CORE_BACKEND_H_
#define IDLEWICK_CORE_BACKEND_H_

#include <string>

#include "core/task.h"

namespace idlewick {

class IBackend {
 public:
  virtual ~IBackend() = default;

  // The device this backend serves; fixed for the backend's life. Decides the
  // slot the backend occupies when registered.
  virtual DeviceId device() const = 0;
  virtual std::string name() const = 0;
  // Runs the task to completion on the calling thread.
  virtual TaskResult Submit(const Task& task) = 0;
  virtual bool IsDegraded() const = 0;
  virtual void SetDegraded(bool degraded) = 0;
  virtual bool SupportsKind(TaskKind /*kind*/) const { return true; }
};

}  // namespace idlewick

#endif  // IDLEWICK_CORE_BACKEND_H_
