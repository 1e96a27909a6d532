// The utilization chain as the scheduler builds it, on this machine with
// the default roots: NVML source for device 0, counter source, combined
// source, poller at 100 ms. Asserts only what holds on any machine, plus the
// zero figures that follow from a missing NVIDIA library or from no process
// using a GPU.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "hw/combined_utilization_source.h"
#include "hw/hw_poller.h"
#include "hw/nvml_utilization_source.h"
#include "hw/pdh_utilization_source.h"
#include "hw/perf_counters.h"

namespace idlewick {
namespace {

// Whether any process holds a DRM client right now.
bool DrmClientsExist() {
  std::uint32_t length = 0;
  const PerfStatus status = MakePlatformPerfCounters()->ExpandWildCardPath(
      u"\\GPU Engine(*)\\Utilization Percentage", nullptr, &length);
  return status != kPerfMoreData || length > 1;
}

TEST(LiveUtilizationTest, FullChainPublishesRealReadings) {
  auto nvml = std::make_unique<NvmlUtilizationSource>(0);
  const bool nvml_ready = nvml->IsReady();
  if (!nvml_ready) {
    EXPECT_FALSE(nvml->last_error().empty());
  }
  const bool drm_clients_before = DrmClientsExist();
  HwPoller poller(std::make_unique<CombinedUtilizationSource>(
                      std::make_unique<PdhUtilizationSource>(),
                      std::move(nvml)),
                  100);
  poller.Start();

  // One core kept busy until a reading shows processor load. Written by the
  // test thread once, read by the load thread; relaxed is enough for a flag
  // that carries no data.
  std::atomic<bool> stop_load{false};
  std::thread load([&stop_load] {
    while (!stop_load.load(std::memory_order_relaxed)) {
    }
  });

  int readings = 0;
  bool saw_load = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!saw_load && std::chrono::steady_clock::now() < deadline) {
    const UtilizationSample s = poller.Latest();
    if (s.valid) {
      ++readings;
      EXPECT_GE(s.cpu_pct, 0.0);
      EXPECT_LE(s.cpu_pct, 100.0 + 1e-9);
      EXPECT_GE(s.igpu_pct, 0.0);
      EXPECT_LE(s.igpu_pct, 100.0);
      EXPECT_GE(s.dgpu_pct, 0.0);
      EXPECT_LE(s.dgpu_pct, 100.0);
      if (!nvml_ready) {
        EXPECT_EQ(s.dgpu_pct, 0.0);
      }
      saw_load = s.cpu_pct > 0.0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const UtilizationSample last = poller.Latest();
  stop_load.store(true, std::memory_order_relaxed);
  load.join();
  poller.Stop();

  EXPECT_GT(readings, 0) << "no reading within 20 s";
  EXPECT_TRUE(saw_load) << "a busy core never showed";
  if (!drm_clients_before && !DrmClientsExist()) {
    EXPECT_EQ(last.igpu_pct, 0.0);
  }
}

}  // namespace
}  // namespace idlewick
