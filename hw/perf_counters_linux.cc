// Linux counters: the processor total from /proc/stat, GPU engines from the
// DRM clients that the kernel describes in /proc/<pid>/fdinfo/<fd>.
//
// A DRM client is one open file description of a DRM device. Its fdinfo
// carries "drm-driver", "drm-pdev" (absent for platform devices),
// "drm-client-id" and, per engine, either "drm-engine-<e>: <n> ns" (busy
// time) or "drm-cycles-<e>" with "drm-total-cycles-<e>" (busy and total
// cycles), plus "drm-engine-capacity-<e>" when an engine class has several
// hardware instances. dup() and fork() share one client between fds and
// processes, so instances are keyed by (driver, pdev, client id, engine)
// and not by fd.
//
// Only the wildcard expansion walks the whole process tree. A counter
// remembers every fdinfo file its client was seen in and a collection reads
// just those, so a regular collection costs one read of /proc/stat plus one
// small read per engine counter.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hw/perf_counters.h"

namespace idlewick {
namespace {

// DRM fdinfo files are a few hundred bytes; the cap only bounds a runaway.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 16;

// ----------------------------------------------------------------- files

// Reads `path` into `out` (reusing its capacity), stopping at the first
// newline when `first_line_only`. False when the file cannot be opened or
// read, which for /proc/<pid> entries is routine: the process may belong to
// another user or have exited.
bool ReadFile(const std::string& path, std::string& out,
              bool first_line_only = false) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t used = 0;
  bool ok = true;
  out.resize(out.capacity() < 1024 ? 1024 : out.capacity());
  while (true) {
    if (used == out.size()) {
      if (out.size() >= kMaxFileBytes) break;
      out.resize(std::min(kMaxFileBytes, out.size() * 2));
    }
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    if (n == 0) break;
    const std::size_t start = used;
    used += static_cast<std::size_t>(n);
    if (first_line_only &&
        std::string_view(out.data() + start, used - start).find('\n') !=
            std::string_view::npos) {
      break;
    }
  }
  ::close(fd);
  out.resize(used);
  return ok;
}

bool IsAllDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(),
                                   [](char c) { return c >= '0' && c <= '9'; });
}

// The numeric entries of `dir`, ascending; false when it cannot be listed.
bool ListNumericEntries(const std::string& dir,
                        std::vector<std::uint64_t>& out) {
  out.clear();
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name(entry->d_name);
    std::uint64_t n = 0;
    if (IsAllDigits(name) &&
        std::from_chars(name.data(), name.data() + name.size(), n).ec ==
            std::errc{}) {
      out.push_back(n);
    }
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return true;
}

// ----------------------------------------------------------------- parsing

std::string_view Trim(std::string_view s) {
  const auto is_blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\r';
  };
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// The leading unsigned number of `value`; a unit may follow ("123 ns").
std::optional<std::uint64_t> ParseUint(std::string_view value) {
  std::uint64_t n = 0;
  const auto [end, ec] =
      std::from_chars(value.data(), value.data() + value.size(), n);
  if (ec != std::errc{}) return std::nullopt;
  if (end != value.data() + value.size() && *end != ' ' && *end != '\t') {
    return std::nullopt;
  }
  return n;
}

// Calls fn(key, value) for every "key: value" line of `text`.
template <typename Fn>
void ForEachField(std::string_view text, Fn&& fn) {
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view{}
                                         : text.substr(eol + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    fn(line.substr(0, colon), Trim(line.substr(colon + 1)));
  }
}

// If `key` is `prefix` followed by a non-empty name, returns that name.
std::optional<std::string_view> Suffix(std::string_view key,
                                       std::string_view prefix) {
  if (key.size() <= prefix.size() || key.substr(0, prefix.size()) != prefix) {
    return std::nullopt;
  }
  return key.substr(prefix.size());
}

constexpr std::string_view kCapacityPrefix = "drm-engine-capacity-";
constexpr std::string_view kEnginePrefix = "drm-engine-";
constexpr std::string_view kTotalCyclesPrefix = "drm-total-cycles-";
constexpr std::string_view kCyclesPrefix = "drm-cycles-";

// /proc/stat "cpu" line: user nice system idle iowait irq softirq steal
// (guest and guest_nice follow but are already counted in user and nice).
using CpuTimes = std::array<std::uint64_t, 8>;
constexpr std::array<std::size_t, 6> kCpuBusyFields = {0, 1, 2, 5, 6, 7};
constexpr std::array<std::size_t, 2> kCpuIdleFields = {3, 4};

// Parses the aggregate line; kernels before 2.6 print only the first four.
bool ParseCpuLine(std::string_view text, CpuTimes& times) {
  const std::string_view line = text.substr(0, text.find('\n'));
  if (line.substr(0, 4) != "cpu " && line.substr(0, 4) != "cpu\t") {
    return false;
  }
  times.fill(0);
  const char* p = line.data() + 3;
  const char* const end = line.data() + line.size();
  std::size_t parsed = 0;
  while (parsed < times.size()) {
    while (p != end && (*p == ' ' || *p == '\t')) ++p;
    if (p == end) break;
    const auto [next, ec] = std::from_chars(p, end, times[parsed]);
    if (ec != std::errc{}) return false;
    p = next;
    ++parsed;
  }
  return parsed >= 4;
}

// ----------------------------------------------------------------- engines

struct ClientKey {
  std::string driver;
  std::string pdev;  // empty when the device is not a PCI device
  std::uint64_t client_id = 0;
};

// One engine of one client, as found by the last expansion.
struct EngineInstance {
  ClientKey client;
  std::string engine;
  std::uint64_t pid = 0;  // lowest process holding the client
  std::vector<std::string> fdinfo_paths;  // every file the client was seen in
};

// The engine type that ends an instance name. Only the render engines of
// the drivers below are "3D"; an unknown engine is never taken for one.
std::string_view EngineType(std::string_view driver, std::string_view engine) {
  struct Row {
    std::string_view driver, engine, type;
  };
  static constexpr Row kRows[] = {
      {"i915", "render", "3D"},
      {"i915", "copy", "Copy"},
      {"i915", "video", "VideoDecode"},
      {"i915", "video-enhance", "VideoProcessing"},
      {"i915", "compute", "Compute"},
      {"xe", "rcs", "3D"},
      {"xe", "bcs", "Copy"},
      {"xe", "vcs", "VideoDecode"},
      {"xe", "vecs", "VideoProcessing"},
      {"xe", "ccs", "Compute"},
      {"amdgpu", "gfx", "3D"},
      {"amdgpu", "compute", "Compute"},
      {"amdgpu", "dma", "Copy"},
      {"amdgpu", "dec", "VideoDecode"},
      {"amdgpu", "enc", "VideoEncode"},
      {"amdgpu", "enc_1", "VideoEncode"},
      {"amdgpu", "jpeg", "VideoJpeg"},
      {"amdgpu", "vpe", "VideoProcessing"},
  };
  for (const Row& row : kRows) {
    if (row.driver == driver && row.engine == engine) return row.type;
  }
  return "Other";
}

void AppendWidened(std::u16string& out, std::string_view s) {
  // fdinfo keys and values are ASCII in practice; widening each byte keeps
  // any other byte distinct without a decoding step that could fail.
  for (const char c : s) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
}

std::u16string EnginePath(const EngineInstance& instance) {
  std::u16string path = u"\\GPU Engine(pid_";
  AppendWidened(path, std::to_string(instance.pid));
  path += u"_client_";
  AppendWidened(path, std::to_string(instance.client.client_id));
  path += u"_pdev_";
  AppendWidened(path,
                instance.client.pdev.empty() ? "none" : instance.client.pdev);
  path += u"_drv_";
  AppendWidened(path, instance.client.driver);
  path += u"_eng_";
  AppendWidened(path, instance.engine);
  path += u"_engtype_";
  AppendWidened(path, EngineType(instance.client.driver, instance.engine));
  path += u")\\Utilization Percentage";
  return path;
}

// One engine's raw figures at one collection.
struct EngineReading {
  bool cycles = false;       // busy/total are cycles, else ns and clock ns
  std::uint64_t busy = 0;
  std::uint64_t total = 0;
  std::uint64_t capacity = 1;
};

// Reads `engine` of `client` from one fdinfo text; nullopt when the text
// describes another client (the fd was closed and its number reused) or
// lacks the engine.
std::optional<EngineReading> ReadEngine(std::string_view text,
                                        const ClientKey& client,
                                        std::string_view engine,
                                        std::uint64_t now_ns) {
  std::string_view driver, pdev;
  std::optional<std::uint64_t> client_id, busy_ns, cycles, total_cycles;
  std::uint64_t capacity = 1;
  ForEachField(text, [&](std::string_view key, std::string_view value) {
    if (key == "drm-driver") {
      driver = value;
    } else if (key == "drm-pdev") {
      pdev = value;
    } else if (key == "drm-client-id") {
      client_id = ParseUint(value);
    } else if (Suffix(key, kCapacityPrefix) == engine) {
      if (const auto n = ParseUint(value); n && *n > 0) capacity = *n;
    } else if (Suffix(key, kEnginePrefix) == engine) {
      busy_ns = ParseUint(value);
    } else if (Suffix(key, kTotalCyclesPrefix) == engine) {
      total_cycles = ParseUint(value);
    } else if (Suffix(key, kCyclesPrefix) == engine) {
      cycles = ParseUint(value);
    }
  });
  if (driver != client.driver || pdev != client.pdev ||
      client_id != client.client_id) {
    return std::nullopt;
  }
  if (busy_ns) return EngineReading{false, *busy_ns, now_ns, capacity};
  if (cycles && total_cycles) {
    return EngineReading{true, *cycles, *total_cycles, capacity};
  }
  return std::nullopt;
}

// Every engine that one fdinfo text reports with usable figures.
struct ClientEngines {
  ClientKey key;
  bool has_client_id = false;
  std::vector<std::string> engines;
};

ClientEngines ParseClient(std::string_view text) {
  ClientEngines result;
  std::vector<std::string_view> busy_ns, cycles, total_cycles;
  ForEachField(text, [&](std::string_view key, std::string_view value) {
    if (key == "drm-driver") {
      result.key.driver = value;
    } else if (key == "drm-pdev") {
      result.key.pdev = value;
    } else if (key == "drm-client-id") {
      if (const auto id = ParseUint(value)) {
        result.key.client_id = *id;
        result.has_client_id = true;
      }
    } else if (Suffix(key, kCapacityPrefix)) {
      // a property of an engine, not an engine
    } else if (const auto e = Suffix(key, kEnginePrefix)) {
      if (ParseUint(value)) busy_ns.push_back(*e);
    } else if (const auto e = Suffix(key, kTotalCyclesPrefix)) {
      if (ParseUint(value)) total_cycles.push_back(*e);
    } else if (const auto e = Suffix(key, kCyclesPrefix)) {
      if (ParseUint(value)) cycles.push_back(*e);
    }
  });
  for (const std::string_view e : busy_ns) result.engines.emplace_back(e);
  for (const std::string_view e : cycles) {
    if (std::find(busy_ns.begin(), busy_ns.end(), e) == busy_ns.end() &&
        std::find(total_cycles.begin(), total_cycles.end(), e) !=
            total_cycles.end()) {
      result.engines.emplace_back(e);
    }
  }
  return result;
}

// ----------------------------------------------------------------- counters

class ProcPerfCounters final : public PerfCounters {
 public:
  ProcPerfCounters(std::string proc_root, PerfClock clock)
      : proc_root_(std::move(proc_root)), clock_(std::move(clock)) {
    if (!clock_) {
      clock_ = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
      };
    }
  }

  PerfStatus OpenQuery(PerfQueryHandle* query) override {
    if (query == nullptr) return kPerfInvalidArgument;
    return Guarded([&] {
      const std::uint64_t id = next_id_++;
      queries_.emplace(id, Query{});
      *query = PerfQueryHandle{id};
      return kPerfSuccess;
    });
  }

  PerfStatus AddEnglishCounter(PerfQueryHandle query, std::u16string_view path,
                               PerfCounterHandle* counter) override {
    if (counter == nullptr) return kPerfInvalidArgument;
    return Guarded([&] {
      const auto q = queries_.find(static_cast<std::uint64_t>(query));
      if (q == queries_.end()) return kPerfInvalidHandle;
      Counter c;
      c.query = q->first;
      if (path == kProcessorTotalPath) {
        // Refuse the counter outright where the file is missing, rather
        // than hand out one that can never be collected.
        CpuTimes times{};
        if (!ReadCpuTimes(times)) return kPerfNoObject;
        c.processor = true;
      } else {
        const auto known = known_engines_.find(path);
        if (known == known_engines_.end()) return kPerfNoObject;
        c.engine = known->second;
      }
      const std::uint64_t id = next_id_++;
      q->second.counters.push_back(id);
      counters_.emplace(id, std::move(c));
      *counter = PerfCounterHandle{id};
      return kPerfSuccess;
    });
  }

  PerfStatus ExpandWildCardPath(std::u16string_view wildcard_path,
                                char16_t* buffer,
                                std::uint32_t* length) override {
    if (length == nullptr) return kPerfInvalidArgument;
    return Guarded([&] {
      if (wildcard_path != kGpuEngineWildcardPath) return kPerfNoObject;
      std::map<std::u16string, EngineInstance, std::less<>> found;
      if (!ScanGpuEngines(found)) return kPerfNoObject;
      std::size_t need = 1;  // the empty string that ends the list
      for (const auto& [path, instance] : found) need += path.size() + 1;
      known_engines_ = std::move(found);
      if (need > UINT32_MAX) return kPerfMemoryAllocationFailure;
      if (buffer == nullptr || *length < need) {
        *length = static_cast<std::uint32_t>(need);
        return kPerfMoreData;
      }
      char16_t* out = buffer;
      for (const auto& [path, instance] : known_engines_) {
        out = std::copy(path.begin(), path.end(), out);
        *out++ = u'\0';
      }
      *out = u'\0';
      *length = static_cast<std::uint32_t>(need);
      return kPerfSuccess;
    });
  }

  PerfStatus RemoveCounter(PerfCounterHandle counter) override {
    const auto c = counters_.find(static_cast<std::uint64_t>(counter));
    if (c == counters_.end()) return kPerfInvalidHandle;
    const auto q = queries_.find(c->second.query);
    if (q != queries_.end()) {
      auto& ids = q->second.counters;
      ids.erase(std::remove(ids.begin(), ids.end(), c->first), ids.end());
    }
    counters_.erase(c);
    return kPerfSuccess;
  }

  PerfStatus CollectQueryData(PerfQueryHandle query) override {
    return Guarded([&] {
      const auto q = queries_.find(static_cast<std::uint64_t>(query));
      if (q == queries_.end()) return kPerfInvalidHandle;
      if (q->second.counters.empty()) return kPerfNoData;
      std::optional<CpuTimes> cpu;
      for (const std::uint64_t id : q->second.counters) {
        if (counters_.at(id).processor) {
          cpu.emplace();
          if (!ReadCpuTimes(*cpu)) return kPerfNoData;
          break;
        }
      }
      const auto now_ns = static_cast<std::uint64_t>(clock_());
      for (const std::uint64_t id : q->second.counters) {
        Counter& c = counters_.at(id);
        if (c.processor) {
          UpdateProcessor(c, *cpu);
        } else {
          UpdateEngine(c, now_ns);
        }
      }
      return kPerfSuccess;
    });
  }

  PerfStatus GetFormattedDouble(PerfCounterHandle counter,
                                double* value) override {
    if (value == nullptr) return kPerfInvalidArgument;
    const auto c = counters_.find(static_cast<std::uint64_t>(counter));
    if (c == counters_.end()) return kPerfInvalidHandle;
    if (c->second.status == kPerfSuccess) *value = c->second.value;
    return c->second.status;
  }

  PerfStatus CloseQuery(PerfQueryHandle query) override {
    const auto q = queries_.find(static_cast<std::uint64_t>(query));
    if (q == queries_.end()) return kPerfInvalidHandle;
    for (const std::uint64_t id : q->second.counters) counters_.erase(id);
    queries_.erase(q);
    return kPerfSuccess;
  }

 private:
  struct Query {
    std::vector<std::uint64_t> counters;  // in the order they were added
  };

  struct Counter {
    std::uint64_t query = 0;
    bool processor = false;
    EngineInstance engine;  // engine counters only
    // The reading the next value is measured from.
    std::optional<CpuTimes> cpu_baseline;
    std::optional<EngineReading> engine_baseline;
    // Outcome of the last collection.
    PerfStatus status = kPerfInvalidData;
    double value = 0.0;
  };

  template <typename Fn>
  static PerfStatus Guarded(Fn&& fn) noexcept {
    try {
      return fn();
    } catch (const std::bad_alloc&) {
      return kPerfMemoryAllocationFailure;
    }
  }

  bool ReadCpuTimes(CpuTimes& times) {
    return ReadFile(proc_root_ + "/stat", buffer_, /*first_line_only=*/true) &&
           ParseCpuLine(buffer_, times);
  }

  static void UpdateProcessor(Counter& c, const CpuTimes& now) {
    c.status = kPerfInvalidData;
    if (c.cpu_baseline) {
      // Fields are deltas clamped at 0 one by one: iowait is known to step
      // back on some kernels, and one field must not cancel another's work.
      const auto delta = [&](std::size_t i) {
        return now[i] > (*c.cpu_baseline)[i] ? now[i] - (*c.cpu_baseline)[i]
                                             : std::uint64_t{0};
      };
      std::uint64_t busy = 0, idle = 0;
      for (const std::size_t i : kCpuBusyFields) busy += delta(i);
      for (const std::size_t i : kCpuIdleFields) idle += delta(i);
      if (busy + idle > 0) {
        c.value = 100.0 * static_cast<double>(busy) /
                  static_cast<double>(busy + idle);
        c.status = kPerfSuccess;
      }
    }
    c.cpu_baseline = now;
  }

  void UpdateEngine(Counter& c, std::uint64_t now_ns) {
    std::optional<EngineReading> reading;
    for (const std::string& path : c.engine.fdinfo_paths) {
      if (!ReadFile(path, buffer_)) continue;
      reading = ReadEngine(buffer_, c.engine.client, c.engine.engine, now_ns);
      if (reading) break;
    }
    if (!reading) {
      // The client has gone (or is hidden from us this time); keep the
      // baseline in case it shows up again.
      c.status = kPerfNoInstance;
      return;
    }
    c.status = kPerfInvalidData;
    const std::optional<EngineReading>& base = c.engine_baseline;
    if (!base || base->cycles != reading->cycles ||
        reading->total < base->total) {
      c.engine_baseline = reading;
      return;
    }
    // Busy figures may briefly step back; the larger earlier value stays
    // the baseline until they catch up.
    if (reading->busy < base->busy || reading->total == base->total) return;
    c.value = 100.0 * static_cast<double>(reading->busy - base->busy) /
              static_cast<double>(reading->total - base->total) /
              static_cast<double>(reading->capacity);
    c.status = kPerfSuccess;
    c.engine_baseline = reading;
  }

  // Finds every engine of every DRM client now open. False only when the
  // process list itself cannot be read; a process whose fds cannot be read
  // (another user's, or one that just exited) is skipped.
  bool ScanGpuEngines(
      std::map<std::u16string, EngineInstance, std::less<>>& found) {
    std::vector<std::uint64_t> pids, fds;
    if (!ListNumericEntries(proc_root_, pids)) return false;
    using Key = std::tuple<std::string, std::string, std::uint64_t,
                           std::string>;
    std::map<Key, EngineInstance> instances;
    for (const std::uint64_t pid : pids) {
      const std::string dir =
          proc_root_ + "/" + std::to_string(pid) + "/fdinfo";
      if (!ListNumericEntries(dir, fds)) continue;
      for (const std::uint64_t fd : fds) {
        std::string path = dir + "/" + std::to_string(fd);
        if (!ReadFile(path, buffer_)) continue;
        ClientEngines client = ParseClient(buffer_);
        if (client.key.driver.empty() || !client.has_client_id) continue;
        for (const std::string& engine : client.engines) {
          auto [it, inserted] = instances.try_emplace(
              Key{client.key.driver, client.key.pdev, client.key.client_id,
                  engine});
          if (inserted) {
            it->second.client = client.key;
            it->second.engine = engine;
            it->second.pid = pid;
          }
          it->second.fdinfo_paths.push_back(path);
        }
      }
    }
    for (auto& [key, instance] : instances) {
      std::u16string path = EnginePath(instance);
      found.emplace(std::move(path), std::move(instance));
    }
    return true;
  }

  const std::string proc_root_;
  PerfClock clock_;
  std::uint64_t next_id_ = 1;  // handles are never reused; 0 is null
  std::unordered_map<std::uint64_t, Query> queries_;
  std::unordered_map<std::uint64_t, Counter> counters_;
  // Instances of the last expansion, by path; what AddEnglishCounter accepts.
  std::map<std::u16string, EngineInstance, std::less<>> known_engines_;
  std::string buffer_;  // reused by every file read
};

}  // namespace

std::unique_ptr<PerfCounters> MakePlatformPerfCounters(std::string proc_root,
                                                       PerfClock clock) {
  return std::make_unique<ProcPerfCounters>(std::move(proc_root),
                                            std::move(clock));
}

}  // namespace idlewick
