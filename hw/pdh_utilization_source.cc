#include "hw/pdh_utilization_source.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <new>
#include <string_view>
#include <utility>

namespace idlewick {
namespace {

constexpr std::u16string_view kEngineType3D = u"engtype_3D";

}  // namespace

PdhUtilizationSource::PdhUtilizationSource()
    : PdhUtilizationSource(MakePlatformPerfCounters()) {}

PdhUtilizationSource::PdhUtilizationSource(
    std::unique_ptr<PerfCounters> counters)
    : counters_(std::move(counters)) {
  if (counters_ == nullptr) return;
  if (counters_->OpenQuery(&query_) != kPerfSuccess) {
    query_ = PerfQueryHandle{};
    return;
  }
  if (counters_->AddEnglishCounter(query_, kProcessorTotalPath,
                                   &cpu_counter_) != kPerfSuccess) {
    counters_->CloseQuery(query_);
    query_ = PerfQueryHandle{};
    return;
  }
  ready_ = true;
  // Without engine counters the source still reads the processor.
  RefreshGpuEngineCounters();
  // No collection here: the first one belongs to the first Sample.
}

PdhUtilizationSource::~PdhUtilizationSource() {
  // Closing the query releases its counters too.
  if (query_ != PerfQueryHandle{}) counters_->CloseQuery(query_);
}

bool PdhUtilizationSource::RefreshGpuEngineCounters() {
  if (!ready_) return false;
  for (const PerfCounterHandle counter : gpu_counters_) {
    counters_->RemoveCounter(counter);
  }
  gpu_counters_.clear();

  std::uint32_t length = 0;
  if (counters_->ExpandWildCardPath(kGpuEngineWildcardPath, nullptr,
                                    &length) != kPerfMoreData) {
    return false;
  }
  if (length == 0) return false;
  try {
    std::vector<char16_t> paths(length, u'\0');
    if (counters_->ExpandWildCardPath(kGpuEngineWildcardPath, paths.data(),
                                      &length) != kPerfSuccess) {
      return false;  // also when the list grew between the two calls
    }
    // The walk stays inside the buffer even if a list lacks its final empty
    // string; an unterminated last path is not taken.
    const char16_t* p = paths.data();
    const char16_t* const end = p + paths.size();
    while (p != end && *p != u'\0') {
      const char16_t* const nul = std::find(p, end, u'\0');
      if (nul == end) break;
      const std::u16string_view path(p, static_cast<std::size_t>(nul - p));
      if (path.find(kEngineType3D) != std::u16string_view::npos) {
        PerfCounterHandle counter{};
        if (counters_->AddEnglishCounter(query_, path, &counter) ==
            kPerfSuccess) {
          try {
            gpu_counters_.push_back(counter);
          } catch (const std::bad_alloc&) {
            counters_->RemoveCounter(counter);
            throw;
          }
        }
      }
      p = nul + 1;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory counts as a failed refresh, retried on the next Sample.
    return false;
  }
  samples_since_refresh_ = 0;
  return true;
}

bool PdhUtilizationSource::Sample(UtilizationSample& out) {
  if (!ready_) return false;
  const std::int32_t previous = samples_since_refresh_;
  // Saturates: after years of failed refreshes the count must not wrap.
  if (previous < std::numeric_limits<std::int32_t>::max()) {
    samples_since_refresh_ = previous + 1;
  }
  if (previous >= kRefreshAfterSamples) RefreshGpuEngineCounters();

  if (counters_->CollectQueryData(query_) != kPerfSuccess) return false;
  double cpu = 0.0;
  if (counters_->GetFormattedDouble(cpu_counter_, &cpu) != kPerfSuccess) {
    return false;
  }
  double gpu_sum = 0.0;
  for (const PerfCounterHandle counter : gpu_counters_) {
    double engine = 0.0;
    if (counters_->GetFormattedDouble(counter, &engine) == kPerfSuccess) {
      gpu_sum += engine;
    }
  }
  if (gpu_sum > 100.0) gpu_sum = 100.0;

  out.cpu_pct = cpu;
  out.igpu_pct = gpu_sum;
  out.timestamp = std::chrono::steady_clock::now();
  out.valid = true;
  return true;
}

}  // namespace idlewick
