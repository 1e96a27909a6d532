#include "tests/hw/fake_nvml_control.h"

namespace {
FakeNvmlControl control;
}  // namespace

extern "C" {

FakeNvmlControl* FakeNvml() { return &control; }

void FakeNvmlReset() {
  control = FakeNvmlControl{};
  control.device_count = 1;
  control.missing_device_status = 2;  // the library's "invalid argument"
}

}  // extern "C"
