#include "hw/nvml_utilization_source.h"

#include <algorithm>
#include <chrono>
#include <string>

namespace idlewick {
namespace {

template <typename Fn>
Fn Entry(LibraryHandle library, const char* name) {
  return reinterpret_cast<Fn>(FindLibraryEntry(library, name));
}

template <typename Fn>
Fn EntryOrFallback(LibraryHandle library, const char* name,
                   const char* fallback) {
  const Fn entry = Entry<Fn>(library, name);
  return entry != nullptr ? entry : Entry<Fn>(library, fallback);
}

}  // namespace

NvmlUtilizationSource::NvmlUtilizationSource(std::uint32_t device_index,
                                             std::string library_file_name) {
  if (!LoadEntries(library_file_name)) {
    // Also covers a library that lacks one of the entries.
    last_error_ =
        "NVML shared library not found (NVIDIA drivers may not be installed)";
    return;
  }
  const std::int32_t init_status = nvml_init_();
  if (init_status != 0) {
    last_error_ = "nvmlInit() failed (rc=" + std::to_string(init_status) + ")";
    Unload();
    return;
  }
  NvmlDevice handle = nullptr;
  const std::int32_t status = nvml_get_handle_by_index_(device_index, &handle);
  if (status == 0 && handle != nullptr) {
    device_handle_ = handle;
    ready_ = true;
    return;
  }
  // "\xE2\x80\x94" is U+2014 EM DASH in UTF-8.
  last_error_ = "nvmlDeviceGetHandleByIndex(" + std::to_string(device_index) +
                ") failed (rc=" + std::to_string(status) +
                ") \xE2\x80\x94 device not present?";
  Unload();
}

NvmlUtilizationSource::~NvmlUtilizationSource() { Unload(); }

bool NvmlUtilizationSource::LoadEntries(const std::string& library_file_name) {
  const LibraryHandle library = LoadDynamicLibrary(library_file_name.c_str());
  if (library == nullptr) return false;
  const auto init =
      EntryOrFallback<InitFn>(library, "nvmlInit_v2", "nvmlInit");
  const auto get_handle = EntryOrFallback<GetHandleByIndexFn>(
      library, "nvmlDeviceGetHandleByIndex_v2", "nvmlDeviceGetHandleByIndex");
  const auto get_utilization = Entry<GetUtilizationRatesFn>(
      library, "nvmlDeviceGetUtilizationRates");
  const auto shutdown = Entry<ShutdownFn>(library, "nvmlShutdown");
  if (init == nullptr || get_handle == nullptr || get_utilization == nullptr ||
      shutdown == nullptr) {
    FreeDynamicLibrary(library);
    return false;
  }
  library_ = library;
  nvml_init_ = init;
  nvml_get_handle_by_index_ = get_handle;
  nvml_get_utilization_rates_ = get_utilization;
  nvml_shutdown_ = shutdown;
  return true;
}

void NvmlUtilizationSource::Unload() noexcept {
  if (nvml_shutdown_ != nullptr && library_ != nullptr) {
    nvml_shutdown_();  // status ignored: nothing is left to do about it
    nvml_shutdown_ = nullptr;
  }
  if (library_ != nullptr) {
    FreeDynamicLibrary(library_);
    library_ = nullptr;
  }
  nvml_init_ = nullptr;
  nvml_get_handle_by_index_ = nullptr;
  nvml_get_utilization_rates_ = nullptr;
  device_handle_ = nullptr;
  ready_ = false;
}

bool NvmlUtilizationSource::Sample(UtilizationSample& out) {
  if (!ready_) return false;
  nvmlUtilization_t utilization{};
  if (nvml_get_utilization_rates_(device_handle_, &utilization) != 0) {
    return false;
  }
  out.dgpu_pct =
      static_cast<double>(std::min<std::uint32_t>(utilization.gpu, 100));
  out.timestamp = std::chrono::steady_clock::now();
  out.valid = true;
  return true;
}

}  // namespace idlewick
