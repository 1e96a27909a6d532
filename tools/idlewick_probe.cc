// idlewick-probe: shows what the scheduler sees of this machine's load.
//
// Builds the utilization chain the way the scheduler does (NVIDIA management
// library for device 0, processor and GPU-engine counters, combined source,
// poller at 100 ms), prints why the NVIDIA source is unavailable if it is,
// then one line per published reading for a few seconds.
//
// Exit status: 0 when at least one reading was published, 1 when none was,
// 2 for a bad command line.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "hw/combined_utilization_source.h"
#include "hw/hw_poller.h"
#include "hw/nvml_utilization_source.h"
#include "hw/pdh_utilization_source.h"
#include "hw/perf_counters.h"

namespace {

using idlewick::UtilizationSample;
using Clock = std::chrono::steady_clock;

constexpr double kDefaultSeconds = 3.0;
constexpr double kMaxSeconds = 24 * 3600.0;
constexpr std::int64_t kPollIntervalMs = 100;

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: idlewick-probe [SECONDS]\n"
               "Prints the cpu, igpu and dgpu utilization (percent) that the "
               "scheduler\nwould see, one line per reading, for SECONDS "
               "(default %.0f).\n",
               kDefaultSeconds);
}

// How many GPU engine instances the counters list now, and how many are 3D.
void PrintGpuEngines() {
  const std::u16string_view wildcard =
      u"\\GPU Engine(*)\\Utilization Percentage";
  auto counters = idlewick::MakePlatformPerfCounters();
  std::uint32_t length = 0;
  if (counters->ExpandWildCardPath(wildcard, nullptr, &length) !=
      idlewick::kPerfMoreData) {
    std::printf("gpu engines: cannot be listed\n");
    return;
  }
  std::u16string list(length, u'\0');
  if (counters->ExpandWildCardPath(wildcard, list.data(), &length) !=
      idlewick::kPerfSuccess) {
    std::printf("gpu engines: cannot be listed\n");
    return;
  }
  int engines = 0;
  int engines_3d = 0;
  for (std::size_t i = 0; i < list.size() && list[i] != u'\0';) {
    std::size_t nul = list.find(u'\0', i);
    if (nul == std::u16string::npos) nul = list.size();
    ++engines;
    if (std::u16string_view(list).substr(i, nul - i).find(u"engtype_3D") !=
        std::u16string_view::npos) {
      ++engines_3d;
    }
    i = nul + 1;
  }
  std::printf("gpu engines: %d in use by DRM clients, %d of them 3D\n",
              engines, engines_3d);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = kDefaultSeconds;
  if (argc > 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (argc == 2) {
    const std::string_view arg = argv[1];
    if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      return 0;
    }
    char* end = nullptr;
    seconds = std::strtod(argv[1], &end);
    if (end == argv[1] || *end != '\0' || !(seconds > 0.0) ||
        seconds > kMaxSeconds) {
      std::fprintf(stderr, "idlewick-probe: not a duration in seconds: %s\n",
                   argv[1]);
      PrintUsage(stderr);
      return 2;
    }
  }

  auto nvml = std::make_unique<idlewick::NvmlUtilizationSource>(0);
  if (nvml->IsReady()) {
    std::printf("nvml: ready (device 0, %s)\n",
                idlewick::NvmlUtilizationSource::kDefaultLibraryName);
  } else {
    std::printf("nvml: unavailable: %s\n", nvml->last_error().c_str());
  }
  PrintGpuEngines();

  idlewick::HwPoller poller(
      std::make_unique<idlewick::CombinedUtilizationSource>(
          std::make_unique<idlewick::PdhUtilizationSource>(), std::move(nvml)),
      kPollIntervalMs);
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(seconds));
  poller.Start();

  std::printf("%8s %7s %7s %7s\n", "time_s", "cpu", "igpu", "dgpu");
  std::fflush(stdout);
  int readings = 0;
  Clock::time_point last_printed{};
  while (Clock::now() < end) {
    const UtilizationSample s = poller.Latest();
    if (s.valid && s.timestamp != last_printed) {
      last_printed = s.timestamp;
      ++readings;
      const double at =
          std::chrono::duration<double>(s.timestamp - start).count();
      std::printf("%8.2f %7.1f %7.1f %7.1f\n", at, s.cpu_pct, s.igpu_pct,
                  s.dgpu_pct);
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  poller.Stop();

  if (readings == 0) {
    std::fprintf(stderr,
                 "idlewick-probe: no reading in %.1f s: the processor "
                 "counters cannot be read on this machine\n",
                 seconds);
    return 1;
  }
  return 0;
}
