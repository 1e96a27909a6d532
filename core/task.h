// The vocabulary every layer speaks: what a task is, what its result is, and
// which kinds of work and which devices exist.
//
// Plain value types with no synchronisation of their own. A Task is moved from
// the enqueueing thread into a device lane and from there to that device's
// worker; a TaskResult is moved from the worker into the result store and out
// to whoever claims it.
#ifndef IDLEWICK_CORE_TASK_H_
#define IDLEWICK_CORE_TASK_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "core/numeric_buffer.h"

namespace idlewick {

enum class TaskKind : std::uint8_t {
  kTextGeneration = 0,
  kEmbedding = 1,
  kImageGeneration = 2,
};

enum class DeviceId : std::uint8_t {
  kCpu = 0,
  kIgpu = 1,
  kDgpu = 2,
};

// Any value other than kOk is a failure; readers must test `== kOk`, never
// `== kFailed`.
enum class TaskStatus : std::uint8_t {
  kOk = 0,
  kFailed = 1,
};

// "cpu", "igpu", "dgpu", or "unknown" for a value outside the enumeration.
std::string_view DeviceName(DeviceId device) noexcept;

// One unit of work. The device and lane are chosen at enqueue time and are
// not recorded here.
struct Task {
  std::uint64_t id = 0;  // unique per scheduler; set by whoever builds the task
  TaskKind kind = TaskKind::kTextGeneration;
  std::string text_input;  // UTF-8, may be empty
  NumericBuffer numeric_input;
};

// A default-built result reads as failed.
struct TaskResult {
  std::uint64_t id = 0;
  TaskStatus status = TaskStatus::kFailed;
  std::string text_output;
  NumericBuffer numeric_output;
  std::string error_message;  // empty on success
  double latency_ms = 0.0;
  double first_token_latency_ms = 0.0;
  std::uint64_t tokens_generated = 0;
  std::uint32_t image_width = 0;
  std::uint32_t image_height = 0;
};

}  // namespace idlewick

#endif  // IDLEWICK_CORE_TASK_H_
