// The Linux performance counters on fixture trees: the processor total from
// stat lines, GPU engines from DRM fdinfo files of several drivers, clients
// that appear and vanish, and entries that cannot be read.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "hw/perf_counters.h"
#include "tests/hw/proc_fixture.h"

namespace idlewick {
namespace {

using testing::DrmFdinfo;
using testing::kIgpuPdev;
using testing::ProcFixture;

constexpr std::u16string_view kProcessorPath =
    u"\\Processor(_Total)\\% Processor Time";
constexpr std::u16string_view kEngineWildcard =
    u"\\GPU Engine(*)\\Utilization Percentage";
constexpr std::int64_t kMs = 1'000'000;

std::string Narrow(std::u16string_view s) {
  std::string out;
  for (const char16_t c : s) out.push_back(static_cast<char>(c));
  return out;
}

std::u16string Widen(std::string_view s) {
  std::u16string out;
  for (const char c : s) out.push_back(static_cast<char16_t>(c));
  return out;
}

std::string EnginePath(std::string_view instance) {
  return "\\GPU Engine(" + std::string(instance) + ")\\Utilization Percentage";
}

class PerfCountersLinuxTest : public ::testing::Test {
 protected:
  PerfCountersLinuxTest()
      : counters_(MakePlatformPerfCounters(proc_.root(),
                                           [this] { return now_ns_; })) {
    EXPECT_EQ(counters_->OpenQuery(&query_), kPerfSuccess);
  }

  // Both expansion calls, as a caller makes them; the paths as UTF-8.
  std::vector<std::string> Expand() {
    std::uint32_t length = 0;
    EXPECT_EQ(counters_->ExpandWildCardPath(kEngineWildcard, nullptr, &length),
              kPerfMoreData);
    std::u16string buffer(length, u'\0');
    EXPECT_EQ(
        counters_->ExpandWildCardPath(kEngineWildcard, buffer.data(), &length),
        kPerfSuccess);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < buffer.size() && buffer[i] != u'\0';) {
      const std::size_t nul = buffer.find(u'\0', i);
      paths.push_back(Narrow(std::u16string_view(buffer).substr(i, nul - i)));
      i = nul + 1;
    }
    return paths;
  }

  // Adds the one listed path that contains `fragment`.
  PerfCounterHandle AddEngine(std::string_view fragment) {
    PerfCounterHandle counter{};
    for (const std::string& path : Expand()) {
      if (path.find(fragment) != std::string::npos) {
        EXPECT_EQ(counters_->AddEnglishCounter(query_, Widen(path), &counter),
                  kPerfSuccess);
        return counter;
      }
    }
    ADD_FAILURE() << "no engine path contains " << fragment;
    return counter;
  }

  PerfCounterHandle AddProcessor() {
    PerfCounterHandle counter{};
    EXPECT_EQ(counters_->AddEnglishCounter(query_, kProcessorPath, &counter),
              kPerfSuccess);
    return counter;
  }

  void Collect() {
    ASSERT_EQ(counters_->CollectQueryData(query_), kPerfSuccess);
  }

  std::optional<double> Value(PerfCounterHandle counter) {
    double value = -1.0;
    if (counters_->GetFormattedDouble(counter, &value) != kPerfSuccess) {
      return std::nullopt;
    }
    return value;
  }

  ProcFixture proc_;
  std::int64_t now_ns_ = 1'000 * kMs;
  std::unique_ptr<PerfCounters> counters_;
  PerfQueryHandle query_{};
};

// ---------------------------------------------------------------- processor

struct CpuCase {
  const char* name;
  const char* before;
  const char* after;
  std::optional<double> expected;
};

class ProcessorCounterTest : public PerfCountersLinuxTest,
                             public ::testing::WithParamInterface<CpuCase> {};

TEST_P(ProcessorCounterTest, ShareOfBusyTimeBetweenTwoCollections) {
  proc_.WriteStat(GetParam().before);
  const PerfCounterHandle cpu = AddProcessor();
  Collect();
  proc_.WriteStat(GetParam().after);
  Collect();
  EXPECT_EQ(Value(cpu), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    StatLines, ProcessorCounterTest,
    ::testing::Values(
        // busy: user 50 + nice 10 + system 20 + irq 5 + softirq 5 + steal
        // 10 = 100; idle: idle 80 + iowait 20 = 100. guest and guest_nice
        // are inside user and nice already and must not count twice.
        CpuCase{"BusyOverBusyPlusIdle", "cpu  100 0 100 800 0 0 0 0 0 0",
                "cpu  150 10 120 880 20 5 5 10 7 3", 50.0},
        CpuCase{"IowaitIsIdle", "cpu  0 0 0 0 0 0 0 0 0 0",
                "cpu  0 0 0 0 100 0 0 0 0 0", 0.0},
        CpuCase{"StealIsBusy", "cpu  0 0 0 0 0 0 0 0 0 0",
                "cpu  0 0 0 75 0 0 0 25 0 0", 25.0},
        CpuCase{"FourFieldsOfOldKernels", "cpu 10 0 10 80", "cpu 40 0 10 130",
                37.5},
        // iowait stepping back must not eat into the idle time of others.
        CpuCase{"FieldSteppingBackCountsZero", "cpu  100 0 0 100 50 0 0 0",
                "cpu  130 0 0 190 40 0 0 0", 25.0},
        CpuCase{"NoTimePassedHasNoValue", "cpu  5 0 5 90 0 0 0 0",
                "cpu  5 0 5 90 0 0 0 0", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PerfCountersLinuxTest, ProcessorValueNeedsTwoCollectionsAndUsesLastTwo) {
  proc_.WriteStat("cpu  0 0 0 0 0 0 0 0 0 0");
  const PerfCounterHandle cpu = AddProcessor();
  EXPECT_EQ(Value(cpu), std::nullopt);
  Collect();
  EXPECT_EQ(Value(cpu), std::nullopt);
  proc_.WriteStat("cpu  100 0 0 0 0 0 0 0 0 0");
  Collect();
  EXPECT_EQ(Value(cpu), 100.0);
  proc_.WriteStat("cpu  100 0 0 300 0 0 0 0 0 0");
  Collect();
  EXPECT_EQ(Value(cpu), 0.0);
}

TEST_F(PerfCountersLinuxTest, ProcessorCounterNeedsAReadableStatFile) {
  PerfCounterHandle cpu{};
  EXPECT_NE(counters_->AddEnglishCounter(query_, kProcessorPath, &cpu),
            kPerfSuccess);
  proc_.Write("stat", "intr 1 2 3\n");
  EXPECT_NE(counters_->AddEnglishCounter(query_, kProcessorPath, &cpu),
            kPerfSuccess);

  proc_.WriteStat("cpu  1 0 0 1 0 0 0 0 0 0");
  ASSERT_EQ(counters_->AddEnglishCounter(query_, kProcessorPath, &cpu),
            kPerfSuccess);
  Collect();
  proc_.Remove("stat");
  EXPECT_NE(counters_->CollectQueryData(query_), kPerfSuccess);
}

// ---------------------------------------------------------------- expansion

TEST_F(PerfCountersLinuxTest, ExpansionSizesThenFillsAndRefusesAGrownList) {
  proc_.WriteFdinfo(
      1234, 9,
      DrmFdinfo("i915", kIgpuPdev, 7, "drm-engine-render:\t5 ns\n"));
  const std::u16string expected = Widen(
      EnginePath("pid_1234_client_7_pdev_0000:00:02.0_drv_i915_eng_render_"
                 "engtype_3D"));

  std::uint32_t length = 0;
  ASSERT_EQ(counters_->ExpandWildCardPath(kEngineWildcard, nullptr, &length),
            kPerfMoreData);
  ASSERT_EQ(length, expected.size() + 2);  // path NUL, then the empty string

  std::u16string buffer(length, u'\xFFFF');
  ASSERT_EQ(
      counters_->ExpandWildCardPath(kEngineWildcard, buffer.data(), &length),
      kPerfSuccess);
  EXPECT_EQ(buffer, expected + u'\0' + u'\0');

  // A client that appears between the two calls no longer fits.
  proc_.WriteFdinfo(
      1300, 4, DrmFdinfo("i915", kIgpuPdev, 8, "drm-engine-render:\t5 ns\n"));
  std::uint32_t short_length = static_cast<std::uint32_t>(buffer.size());
  EXPECT_EQ(counters_->ExpandWildCardPath(kEngineWildcard, buffer.data(),
                                          &short_length),
            kPerfMoreData);
  EXPECT_EQ(short_length, 2 * (expected.size() + 1) + 1);
}

TEST_F(PerfCountersLinuxTest, NoClientsGiveAnEmptyList) {
  proc_.WriteFdinfo(1, 0, "pos:\t0\nflags:\t02\nmnt_id:\t1\nino:\t2\n");
  std::uint32_t length = 0;
  ASSERT_EQ(counters_->ExpandWildCardPath(kEngineWildcard, nullptr, &length),
            kPerfMoreData);
  ASSERT_EQ(length, 1u);
  char16_t terminator = u'x';
  EXPECT_EQ(
      counters_->ExpandWildCardPath(kEngineWildcard, &terminator, &length),
      kPerfSuccess);
  EXPECT_EQ(terminator, u'\0');
}

TEST_F(PerfCountersLinuxTest, OneInstancePerClientEngineAndUnreadableSkipped) {
  const std::string render_and_copy =
      "drm-engine-render:\t10 ns\ndrm-engine-copy:\t3 ns\n"
      "drm-engine-capacity-video:\t2\n";
  // Client 7 is open on two fds of process 100 and inherited by 200.
  proc_.WriteFdinfo(100, 3, DrmFdinfo("i915", kIgpuPdev, 7, render_and_copy));
  proc_.WriteFdinfo(100, 4, DrmFdinfo("i915", kIgpuPdev, 7, render_and_copy));
  proc_.WriteFdinfo(200, 5, DrmFdinfo("i915", kIgpuPdev, 7, render_and_copy));
  // Another client of the same device, and the same id on another device.
  proc_.WriteFdinfo(
      200, 6, DrmFdinfo("i915", kIgpuPdev, 8, "drm-engine-render:\t1 ns\n"));
  proc_.WriteFdinfo(300, 3,
                    DrmFdinfo("amdgpu", "0000:03:00.0", 7,
                              "drm-engine-gfx:\t1 ns\n"));
  // A platform device without drm-pdev.
  proc_.WriteFdinfo(310, 3, DrmFdinfo("panfrost", "", 2,
                                      "drm-engine-fragment:\t4 ns\n"
                                      "drm-cycles-fragment:\t9\n"));
  // Noise: a plain file fd, a client without id, cycles without a total,
  // and entries that cannot be read.
  proc_.WriteFdinfo(100, 0, "pos:\t0\nflags:\t0100002\nmnt_id:\t1\nino:\t5\n");
  proc_.WriteFdinfo(700, 3,
                    "drm-driver:\ti915\ndrm-engine-render:\t1 ns\n");
  proc_.WriteFdinfo(710, 3,
                    DrmFdinfo("xe", kIgpuPdev, 3, "drm-cycles-rcs:\t5\n"));
  proc_.WriteUnreadable("400");
  proc_.WriteUnreadable("600/fdinfo/9");
  proc_.Write("500/status", "Name:\tkthread\n");
  proc_.Write("self/fdinfo/3", DrmFdinfo("i915", kIgpuPdev, 42,
                                         "drm-engine-render:\t1 ns\n"));
  proc_.WriteStat("cpu  1 2 3 4 5 6 7 8 0 0");

  EXPECT_EQ(
      Expand(),
      (std::vector<std::string>{
          EnginePath("pid_100_client_7_pdev_0000:00:02.0_drv_i915_eng_copy_"
                     "engtype_Copy"),
          EnginePath("pid_100_client_7_pdev_0000:00:02.0_drv_i915_eng_render_"
                     "engtype_3D"),
          EnginePath("pid_200_client_8_pdev_0000:00:02.0_drv_i915_eng_render_"
                     "engtype_3D"),
          EnginePath("pid_300_client_7_pdev_0000:03:00.0_drv_amdgpu_eng_gfx_"
                     "engtype_3D"),
          EnginePath("pid_310_client_2_pdev_none_drv_panfrost_eng_fragment_"
                     "engtype_Other"),
      }));
}

TEST_F(PerfCountersLinuxTest, MissingProcessListFailsExpansion) {
  auto counters = MakePlatformPerfCounters(proc_.root() + "/absent");
  std::uint32_t length = 0;
  EXPECT_NE(counters->ExpandWildCardPath(kEngineWildcard, nullptr, &length),
            kPerfMoreData);
  EXPECT_NE(counters->ExpandWildCardPath(u"\\Disk(*)\\Busy", nullptr, &length),
            kPerfMoreData);
}

struct EngineTypeCase {
  const char* driver;
  const char* engine;
  bool cycles;  // reported as drm-cycles/drm-total-cycles, not ns
  const char* type;
};

class EngineTypeTest : public PerfCountersLinuxTest,
                       public ::testing::WithParamInterface<EngineTypeCase> {};

TEST_P(EngineTypeTest, InstanceNameEndsInTheEngineType) {
  const EngineTypeCase& c = GetParam();
  const std::string engine(c.engine);
  const std::string lines =
      c.cycles ? "drm-cycles-" + engine + ":\t5\ndrm-total-cycles-" + engine +
                     ":\t50\n"
               : "drm-engine-" + engine + ":\t5 ns\n";
  proc_.WriteFdinfo(42, 3, DrmFdinfo(c.driver, kIgpuPdev, 1, lines));
  const std::vector<std::string> paths = Expand();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0],
            EnginePath("pid_42_client_1_pdev_0000:00:02.0_drv_" +
                       std::string(c.driver) + "_eng_" + engine + "_engtype_" +
                       c.type));
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, EngineTypeTest,
    ::testing::Values(EngineTypeCase{"i915", "render", false, "3D"},
                      EngineTypeCase{"i915", "copy", false, "Copy"},
                      EngineTypeCase{"i915", "video", false, "VideoDecode"},
                      EngineTypeCase{"i915", "video-enhance", false,
                                     "VideoProcessing"},
                      EngineTypeCase{"xe", "rcs", true, "3D"},
                      EngineTypeCase{"xe", "bcs", true, "Copy"},
                      EngineTypeCase{"xe", "ccs", true, "Compute"},
                      EngineTypeCase{"amdgpu", "gfx", false, "3D"},
                      EngineTypeCase{"amdgpu", "dec", false, "VideoDecode"},
                      EngineTypeCase{"amdgpu", "compute", false, "Compute"},
                      // 3D names count only on the driver that uses them.
                      EngineTypeCase{"amdgpu", "render", false, "Other"},
                      EngineTypeCase{"i915", "gfx", false, "Other"},
                      EngineTypeCase{"panfrost", "fragment", false, "Other"}),
    [](const auto& info) {
      std::string name = std::string(info.param.driver) + "_" +
                         info.param.engine;
      for (char& ch : name) {
        if (ch == '-') ch = '_';
      }
      return name;
    });

// ---------------------------------------------------------------- engines

struct EngineValueCase {
  const char* name;
  const char* engine;  // fragment of the instance path to add
  const char* driver;
  const char* before;
  const char* after;
  std::int64_t elapsed_ns;
  std::optional<double> expected;
};

class EngineValueTest : public PerfCountersLinuxTest,
                        public ::testing::WithParamInterface<EngineValueCase> {
};

TEST_P(EngineValueTest, ValueBetweenTwoCollections) {
  const EngineValueCase& c = GetParam();
  proc_.WriteFdinfo(42, 3, DrmFdinfo(c.driver, kIgpuPdev, 1, c.before));
  const PerfCounterHandle engine = AddEngine(c.engine);
  Collect();
  EXPECT_EQ(Value(engine), std::nullopt);
  proc_.WriteFdinfo(42, 3, DrmFdinfo(c.driver, kIgpuPdev, 1, c.after));
  now_ns_ += c.elapsed_ns;
  Collect();
  EXPECT_EQ(Value(engine), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Figures, EngineValueTest,
    ::testing::Values(
        EngineValueCase{"BusyNsOverWallTime", "_eng_render_", "i915",
                        "drm-engine-render:\t1000000 ns\n",
                        "drm-engine-render:\t51000000 ns\n", 100 * kMs, 50.0},
        EngineValueCase{"CapacityDividesBusyTime", "_eng_video_", "i915",
                        "drm-engine-video:\t0 ns\n"
                        "drm-engine-capacity-video:\t2\n",
                        "drm-engine-video:\t100000000 ns\n"
                        "drm-engine-capacity-video:\t2\n",
                        100 * kMs, 50.0},
        EngineValueCase{"CyclesOverTotalCycles", "_eng_rcs_", "xe",
                        "drm-cycles-rcs:\t1000\ndrm-total-cycles-rcs:\t10000\n",
                        "drm-cycles-rcs:\t1300\ndrm-total-cycles-rcs:\t11000\n",
                        7 * kMs, 30.0},
        EngineValueCase{"CyclesWithCapacity", "_eng_ccs_", "xe",
                        "drm-cycles-ccs:\t0\ndrm-total-cycles-ccs:\t0\n"
                        "drm-engine-capacity-ccs:\t4\n",
                        "drm-cycles-ccs:\t2000\ndrm-total-cycles-ccs:\t1000\n"
                        "drm-engine-capacity-ccs:\t4\n",
                        100 * kMs, 50.0},
        EngineValueCase{"BusyWentBackwards", "_eng_gfx_", "amdgpu",
                        "drm-engine-gfx:\t50000000 ns\n",
                        "drm-engine-gfx:\t40000000 ns\n", 100 * kMs,
                        std::nullopt},
        EngineValueCase{"NoTimePassed", "_eng_gfx_", "amdgpu",
                        "drm-engine-gfx:\t0 ns\n",
                        "drm-engine-gfx:\t5 ns\n", 0, std::nullopt},
        EngineValueCase{"TotalCyclesStuck", "_eng_rcs_", "xe",
                        "drm-cycles-rcs:\t1\ndrm-total-cycles-rcs:\t10\n",
                        "drm-cycles-rcs:\t2\ndrm-total-cycles-rcs:\t10\n",
                        100 * kMs, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PerfCountersLinuxTest, BusyTimeSteppingBackKeepsTheLargerBaseline) {
  const auto write = [&](const char* busy) {
    proc_.WriteFdinfo(42, 3, DrmFdinfo("i915", kIgpuPdev, 1,
                                       std::string("drm-engine-render:\t") +
                                           busy + " ns\n"));
  };
  write("50000000");
  const PerfCounterHandle engine = AddEngine("_eng_render_");
  Collect();
  write("40000000");
  now_ns_ += 100 * kMs;
  Collect();
  EXPECT_EQ(Value(engine), std::nullopt);
  // Measured from the 50 ms figure over both periods, not from 40 ms.
  write("60000000");
  now_ns_ += 100 * kMs;
  Collect();
  EXPECT_EQ(Value(engine), 5.0);
}

TEST_F(PerfCountersLinuxTest, ClientsComingAndGoingBetweenCollections) {
  const auto render = [](std::uint64_t ms) {
    return "drm-engine-render:\t" + std::to_string(ms * kMs) + " ns\n";
  };
  // Client 1 on process 10 and inherited by process 11; client 2 alone.
  proc_.WriteFdinfo(10, 3, DrmFdinfo("i915", kIgpuPdev, 1, render(0)));
  proc_.WriteFdinfo(11, 3, DrmFdinfo("i915", kIgpuPdev, 1, render(0)));
  proc_.WriteFdinfo(20, 3, DrmFdinfo("i915", kIgpuPdev, 2, render(0)));
  const PerfCounterHandle one = AddEngine("_client_1_");
  const PerfCounterHandle two = AddEngine("_client_2_");
  Collect();

  // Process 10 exits: client 1 is still read through process 11. Client 2's
  // fd is closed and its number reused by an unrelated client.
  proc_.Remove("10");
  proc_.WriteFdinfo(11, 3, DrmFdinfo("i915", kIgpuPdev, 1, render(10)));
  proc_.WriteFdinfo(20, 3, DrmFdinfo("i915", kIgpuPdev, 99, render(90)));
  now_ns_ += 100 * kMs;
  Collect();
  EXPECT_EQ(Value(one), 10.0);
  double ignored = 0.0;
  EXPECT_EQ(counters_->GetFormattedDouble(two, &ignored), kPerfNoInstance);

  // A client that appeared since the last expansion is listed by the next
  // one; the gone client is not. The list is in path order.
  proc_.WriteFdinfo(30, 3, DrmFdinfo("i915", kIgpuPdev, 3, render(0)));
  const std::vector<std::string> paths = Expand();
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_NE(paths[0].find("pid_11_client_1_"), std::string::npos);
  EXPECT_NE(paths[1].find("pid_20_client_99_"), std::string::npos);
  EXPECT_NE(paths[2].find("pid_30_client_3_"), std::string::npos);

  // Process 11 goes too: client 1 has gone for good.
  proc_.Remove("11");
  now_ns_ += 100 * kMs;
  Collect();
  EXPECT_EQ(Value(one), std::nullopt);
}

TEST_F(PerfCountersLinuxTest, HandlesAndPathsThatAreNotUsable) {
  proc_.WriteStat("cpu  1 0 0 1 0 0 0 0 0 0");
  proc_.WriteFdinfo(
      5, 3, DrmFdinfo("i915", kIgpuPdev, 1, "drm-engine-render:\t1 ns\n"));
  PerfCounterHandle counter{};
  // Engine paths are usable once an expansion has listed them.
  const std::u16string render = Widen(EnginePath(
      "pid_5_client_1_pdev_0000:00:02.0_drv_i915_eng_render_engtype_3D"));
  EXPECT_NE(counters_->AddEnglishCounter(query_, render, &counter),
            kPerfSuccess);
  EXPECT_NE(counters_->AddEnglishCounter(query_, u"\\Memory\\Available Bytes",
                                         &counter),
            kPerfSuccess);
  EXPECT_EQ(counter, PerfCounterHandle{});
  EXPECT_NE(counters_->CollectQueryData(query_), kPerfSuccess);  // empty

  Expand();
  ASSERT_EQ(counters_->AddEnglishCounter(query_, render, &counter),
            kPerfSuccess);
  const PerfCounterHandle cpu = AddProcessor();
  EXPECT_EQ(counters_->RemoveCounter(counter), kPerfSuccess);
  double value = 0.0;
  EXPECT_EQ(counters_->GetFormattedDouble(counter, &value), kPerfInvalidHandle);
  EXPECT_EQ(counters_->RemoveCounter(counter), kPerfInvalidHandle);

  EXPECT_EQ(counters_->CloseQuery(query_), kPerfSuccess);
  EXPECT_EQ(counters_->GetFormattedDouble(cpu, &value), kPerfInvalidHandle);
  EXPECT_EQ(counters_->CollectQueryData(query_), kPerfInvalidHandle);
  EXPECT_EQ(counters_->AddEnglishCounter(query_, kProcessorPath, &counter),
            kPerfInvalidHandle);
}

}  // namespace
}  // namespace idlewick
