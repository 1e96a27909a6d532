// The control block shared by the fake management libraries and the tests
// that load them. It lives in its own shared library so that the tests read
// and steer it without holding a handle on the fake they load, and can tell
// whether the source released that fake.
//
// Single-threaded: the tests and the source they drive run on one thread.
#ifndef IDLEWICK_TESTS_HW_FAKE_NVML_CONTROL_H_
#define IDLEWICK_TESTS_HW_FAKE_NVML_CONTROL_H_

#include <cstdint>

extern "C" {

struct FakeNvmlControl {
  // Answers, read at call time.
  std::int32_t init_status;
  std::uint32_t device_count;         // handle lookups beyond it fail...
  std::int32_t missing_device_status; // ...with this status
  bool null_handle;                   // a lookup "succeeds" without a handle
  std::int32_t utilization_status;
  std::uint32_t gpu;
  // Observations.
  int init_v2_calls;
  int init_calls;
  int handle_v2_calls;
  int handle_calls;
  std::uint32_t last_index;
  int utilization_calls;
  bool utilization_got_issued_handle;  // last call passed the issued handle
  bool utilization_record_zeroed;      // ...and a zeroed record
  int shutdown_calls;
};

// The one control block. FakeNvmlReset sets the defaults: every call
// succeeds, one device, gpu 0, nothing observed.
FakeNvmlControl* FakeNvml();
void FakeNvmlReset();

}  // extern "C"

#endif  // IDLEWICK_TESTS_HW_FAKE_NVML_CONTROL_H_
