// Discrete-GPU utilization of one NVIDIA GPU, read through the NVIDIA
// management library. The library is loaded at run time, never linked, so
// machines without NVIDIA drivers load and run and the source is then simply
// unavailable.
//
// Setup happens once, in the constructor, and is never retried: load the
// library, resolve its entries (the "_v2" forms of init and handle lookup
// first), initialize it and look up the device. Any failure leaves the source
// unavailable for good, with the reason in last_error(); a failure after a
// successful load shuts the library down once and releases it, so an
// unavailable source holds nothing. A ready source shuts the library down
// once and releases it at destruction.
//
// `Sample` writes `dgpu_pct` (the library's gpu figure, at most 100),
// `timestamp` and `valid`; a failed reading returns false for that call only
// and the next call tries again. Nothing throws for a library failure.
//
// Thread-safety: none. Sampled from one thread at a time (the poller's);
// constructed and destroyed while nothing samples it.
#ifndef IDLEWICK_HW_NVML_UTILIZATION_SOURCE_H_
#define IDLEWICK_HW_NVML_UTILIZATION_SOURCE_H_

#include <cstdint>
#include <string>

#include "hw/dynamic_library.h"
#include "hw/utilization_source.h"

namespace idlewick {

// The library's utilization record: two percentages, gpu then memory.
struct nvmlUtilization_t {
  std::uint32_t gpu;
  std::uint32_t memory;
};

class NvmlUtilizationSource final : public IUtilizationSource {
 public:
  // The file name the NVIDIA driver installs on Linux.
  static constexpr const char* kDefaultLibraryName = "libnvidia-ml.so.1";

  explicit NvmlUtilizationSource(
      std::uint32_t device_index,
      std::string library_file_name = kDefaultLibraryName);
  ~NvmlUtilizationSource() override;

  NvmlUtilizationSource(const NvmlUtilizationSource&) = delete;
  NvmlUtilizationSource& operator=(const NvmlUtilizationSource&) = delete;

  bool Sample(UtilizationSample& out) override;

  // Why setup failed (UTF-8); empty when the source is ready.
  const std::string& last_error() const noexcept { return last_error_; }
  bool IsReady() const noexcept { return ready_; }

 private:
  using NvmlDevice = void*;  // the library's opaque device handle
  using InitFn = std::int32_t (*)();
  using GetHandleByIndexFn = std::int32_t (*)(std::uint32_t, NvmlDevice*);
  using GetUtilizationRatesFn = std::int32_t (*)(NvmlDevice,
                                                 nvmlUtilization_t*);
  using ShutdownFn = std::int32_t (*)();

  bool LoadEntries(const std::string& library_file_name);
  void Unload() noexcept;

  // Either the library and all four entries are set, or none is.
  LibraryHandle library_ = nullptr;
  InitFn nvml_init_ = nullptr;
  GetHandleByIndexFn nvml_get_handle_by_index_ = nullptr;
  GetUtilizationRatesFn nvml_get_utilization_rates_ = nullptr;
  ShutdownFn nvml_shutdown_ = nullptr;
  NvmlDevice device_handle_ = nullptr;  // non-null exactly when ready
  bool ready_ = false;
  std::string last_error_;
};

}  // namespace idlewick

#endif  // IDLEWICK_HW_NVML_UTILIZATION_SOURCE_H_
