// A fake NVIDIA management library. Which entries it exports is chosen at
// build time (FAKE_NVML_INIT_V2, FAKE_NVML_INIT, FAKE_NVML_HANDLE_V2,
// FAKE_NVML_HANDLE, FAKE_NVML_UTILIZATION, FAKE_NVML_SHUTDOWN); what they
// answer, and what they saw, is in the shared control block.
//
// Plain C entry points and no C++ statics with vague linkage, so that the
// loader can really unload the library when the source releases it.
#include <cstdint>

#include "tests/hw/fake_nvml_control.h"

namespace {

struct Utilization {
  std::uint32_t gpu;
  std::uint32_t memory;
};

[[maybe_unused]] char device_token;  // the handle this fake issues points here
[[maybe_unused]] void* IssuedHandle() { return &device_token; }

[[maybe_unused]] std::int32_t Init() { return FakeNvml()->init_status; }

[[maybe_unused]] std::int32_t HandleByIndex(std::uint32_t index,
                                            void** device) {
  FakeNvmlControl& c = *FakeNvml();
  c.last_index = index;
  if (index >= c.device_count) return c.missing_device_status;
  if (!c.null_handle) *device = IssuedHandle();
  return 0;
}

}  // namespace

extern "C" {

#ifdef FAKE_NVML_INIT_V2
std::int32_t nvmlInit_v2() {
  ++FakeNvml()->init_v2_calls;
  return Init();
}
#endif

#ifdef FAKE_NVML_INIT
std::int32_t nvmlInit() {
  ++FakeNvml()->init_calls;
  return Init();
}
#endif

#ifdef FAKE_NVML_HANDLE_V2
std::int32_t nvmlDeviceGetHandleByIndex_v2(std::uint32_t index, void** device) {
  ++FakeNvml()->handle_v2_calls;
  return HandleByIndex(index, device);
}
#endif

#ifdef FAKE_NVML_HANDLE
std::int32_t nvmlDeviceGetHandleByIndex(std::uint32_t index, void** device) {
  ++FakeNvml()->handle_calls;
  return HandleByIndex(index, device);
}
#endif

#ifdef FAKE_NVML_UTILIZATION
std::int32_t nvmlDeviceGetUtilizationRates(void* device, Utilization* out) {
  FakeNvmlControl& c = *FakeNvml();
  ++c.utilization_calls;
  c.utilization_got_issued_handle = device == IssuedHandle();
  c.utilization_record_zeroed = out->gpu == 0 && out->memory == 0;
  if (c.utilization_status != 0) {
    out->gpu = 77;  // garbage that a failed call must not pass on
    return c.utilization_status;
  }
  out->gpu = c.gpu;
  out->memory = 5;
  return 0;
}
#endif

#ifdef FAKE_NVML_SHUTDOWN
std::int32_t nvmlShutdown() {
  ++FakeNvml()->shutdown_calls;
  return 0;
}
#endif

}  // extern "C"
