#include "core/task.h"

namespace idlewick {

std::string_view DeviceName(DeviceId device) noexcept {
  switch (device) {
    case DeviceId::kCpu:
      return "cpu";
    case DeviceId::kIgpu:
      return "igpu";
    case DeviceId::kDgpu:
      return "dgpu";
  }
  return "unknown";
}

}  // namespace idlewick
