// A small performance-counter interface that the processor and GPU-engine
// source reads through, shaped like the Windows Performance Data Helper so
// that a Windows implementation can sit beside the Linux one.
//
// Model: a query holds counters, each added by its English path. One
// collection samples every counter of a query at once. Counters are rates: a
// counter's formatted value is computed from its last two collections, so it
// refuses a value (non-zero status) until it has had two. A counter whose
// instance is missing from a collection refuses its value for that
// collection.
//
// Paths are UTF-16. Two objects are known:
//   "\Processor(_Total)\% Processor Time"  share of all processors' time
//   "\GPU Engine(<instance>)\Utilization Percentage"  one GPU engine of one
//       client; "\GPU Engine(*)\Utilization Percentage" expands to every
//       instance present now. Instance names end in "engtype_<type>", where
//       the type of 3D engines is exactly "3D".
//
// Failure: every operation returns a status, 0 on success; nothing throws
// (an allocation failure is a status too).
//
// Thread-safety: none. One object is used from one thread at a time; handles
// belong to the object that issued them.
#ifndef IDLEWICK_HW_PERF_COUNTERS_H_
#define IDLEWICK_HW_PERF_COUNTERS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace idlewick {

using PerfStatus = std::uint32_t;

// The numeric values are the Windows ones, so callers test the same codes on
// every platform.
inline constexpr PerfStatus kPerfSuccess = 0;
// Sizing call, or a buffer that no longer fits: `length` holds the need.
inline constexpr PerfStatus kPerfMoreData = 0x800007D2;
// The counter's instance was absent from the last collection.
inline constexpr PerfStatus kPerfNoInstance = 0x800007D1;
// Collecting failed: the query has no counters or a source could not be read.
inline constexpr PerfStatus kPerfNoData = 0x800007D5;
// The path names no object or instance that exists now.
inline constexpr PerfStatus kPerfNoObject = 0xC0000BB8;
inline constexpr PerfStatus kPerfMemoryAllocationFailure = 0xC0000BBB;
inline constexpr PerfStatus kPerfInvalidHandle = 0xC0000BBC;
inline constexpr PerfStatus kPerfInvalidArgument = 0xC0000BBD;
// The counter has no value from its last two collections (fewer than two,
// no time passed, or the raw figure went backwards).
inline constexpr PerfStatus kPerfInvalidData = 0xC0000BC6;

// The two English counter paths the layer knows.
inline constexpr std::u16string_view kProcessorTotalPath =
    u"\\Processor(_Total)\\% Processor Time";
inline constexpr std::u16string_view kGpuEngineWildcardPath =
    u"\\GPU Engine(*)\\Utilization Percentage";

// Opaque handles; the value-initialized handle is the null handle.
enum class PerfQueryHandle : std::uintptr_t {};
enum class PerfCounterHandle : std::uintptr_t {};

class PerfCounters {
 public:
  virtual ~PerfCounters() = default;

  virtual PerfStatus OpenQuery(PerfQueryHandle* query) = 0;
  // Adds the counter named by `path` to `query`. A non-zero status means the
  // path is not usable now; `*counter` is then unchanged.
  virtual PerfStatus AddEnglishCounter(PerfQueryHandle query,
                                       std::u16string_view path,
                                       PerfCounterHandle* counter) = 0;
  // Lists the paths matching a wildcard path as NUL-terminated strings ended
  // by an empty string. Sizing call: `buffer` null and `*length` 0; returns
  // kPerfMoreData with `*length` set to the need in characters (1 when
  // nothing matches). Filling call: `buffer` holds `*length` characters;
  // returns 0 and sets `*length` to the characters written, or kPerfMoreData
  // with the new need when the list grew since the sizing call.
  virtual PerfStatus ExpandWildCardPath(std::u16string_view wildcard_path,
                                        char16_t* buffer,
                                        std::uint32_t* length) = 0;
  virtual PerfStatus RemoveCounter(PerfCounterHandle counter) = 0;
  virtual PerfStatus CollectQueryData(PerfQueryHandle query) = 0;
  virtual PerfStatus GetFormattedDouble(PerfCounterHandle counter,
                                        double* value) = 0;
  // Closes the query and releases all its counters.
  virtual PerfStatus CloseQuery(PerfQueryHandle query) = 0;
};

// Monotonic time in nanoseconds.
using PerfClock = std::function<std::int64_t()>;

// The platform's counters. On Linux the processor total comes from the `cpu`
// line of <proc_root>/stat and GPU engines from the DRM clients listed in
// <proc_root>/<pid>/fdinfo/<fd>; engines that report busy nanoseconds are
// timed against `clock` (the steady clock when empty). Allocates; throws
// only std::bad_alloc.
std::unique_ptr<PerfCounters> MakePlatformPerfCounters(
    std::string proc_root = "/proc", PerfClock clock = {});

}  // namespace idlewick

#endif  // IDLEWICK_HW_PERF_COUNTERS_H_
