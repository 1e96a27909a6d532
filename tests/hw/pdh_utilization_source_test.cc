// PdhUtilizationSource: its logic over a scripted counter layer (setup,
// the 3D-engine filter, summing and clamping, the refresh cadence and its
// retry), then the whole source over the Linux counters on fixture trees.
#include "hw/pdh_utilization_source.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hw/perf_counters.h"
#include "tests/hw/proc_fixture.h"
#include "tests/hw/sample_helpers.h"

namespace idlewick {
namespace {

constexpr std::u16string_view kProcessorPath =
    u"\\Processor(_Total)\\% Processor Time";
constexpr std::u16string_view kEngineWildcard =
    u"\\GPU Engine(*)\\Utilization Percentage";

std::u16string Engine(std::u16string_view instance) {
  return u"\\GPU Engine(" + std::u16string(instance) +
         u")\\Utilization Percentage";
}

// What the scripted layer answers, and what it saw. Shared between the test
// and the layer the source owns.
struct Script {
  // Answers.
  PerfStatus open_status = kPerfSuccess;
  bool processor_add_fails = false;
  std::vector<std::u16string> engine_paths;  // the expansion's list
  std::set<std::u16string> engine_add_fails;
  PerfStatus sizing_status = kPerfMoreData;
  bool sizing_reports_zero = false;
  PerfStatus filling_status = kPerfSuccess;
  PerfStatus collect_status = kPerfSuccess;
  double cpu = 0.0;
  bool cpu_refused = false;
  std::map<std::u16string, double> engine_values;  // absent: refused
  // Observations.
  int sizing_calls = 0;
  int filling_calls = 0;
  int collections = 0;
  int removes = 0;
  int closes = 0;
  std::vector<std::u16string> added_engines;  // successful adds, in order
};

// Behaves like the platform's counters: a counter has a value only once it
// has been collected twice.
class ScriptedCounters final : public PerfCounters {
 public:
  explicit ScriptedCounters(std::shared_ptr<Script> script)
      : script_(std::move(script)) {}

  PerfStatus OpenQuery(PerfQueryHandle* query) override {
    if (script_->open_status != kPerfSuccess) return script_->open_status;
    *query = PerfQueryHandle{77};
    return kPerfSuccess;
  }
  PerfStatus AddEnglishCounter(PerfQueryHandle query, std::u16string_view path,
                               PerfCounterHandle* counter) override {
    EXPECT_EQ(query, PerfQueryHandle{77});
    if (path == kProcessorPath) {
      if (script_->processor_add_fails) return kPerfNoObject;
    } else {
      if (script_->engine_add_fails.count(std::u16string(path)) != 0) {
        return kPerfNoObject;
      }
      script_->added_engines.emplace_back(path);
    }
    *counter = PerfCounterHandle{next_counter_};
    live_.emplace(next_counter_++, Live{std::u16string(path), 0});
    return kPerfSuccess;
  }
  PerfStatus ExpandWildCardPath(std::u16string_view wildcard_path,
                                char16_t* buffer,
                                std::uint32_t* length) override {
    EXPECT_EQ(wildcard_path, kEngineWildcard);
    std::u16string list;
    for (const auto& path : script_->engine_paths) list += path + u'\0';
    list += u'\0';
    if (buffer == nullptr) {
      ++script_->sizing_calls;
      EXPECT_EQ(*length, 0u);
      *length = script_->sizing_reports_zero
                    ? 0
                    : static_cast<std::uint32_t>(list.size());
      return script_->sizing_status;
    }
    ++script_->filling_calls;
    if (script_->filling_status != kPerfSuccess) return script_->filling_status;
    EXPECT_GE(*length, list.size());
    std::copy(list.begin(), list.end(), buffer);
    return kPerfSuccess;
  }
  PerfStatus RemoveCounter(PerfCounterHandle counter) override {
    ++script_->removes;
    EXPECT_EQ(live_.erase(static_cast<std::uint64_t>(counter)), 1u);
    return kPerfSuccess;
  }
  PerfStatus CollectQueryData(PerfQueryHandle) override {
    ++script_->collections;
    if (script_->collect_status != kPerfSuccess) return script_->collect_status;
    for (auto& [id, counter] : live_) ++counter.collections;
    return kPerfSuccess;
  }
  PerfStatus GetFormattedDouble(PerfCounterHandle handle,
                                double* value) override {
    const auto it = live_.find(static_cast<std::uint64_t>(handle));
    if (it == live_.end()) {
      ADD_FAILURE() << "read of a removed counter";
      return kPerfInvalidHandle;
    }
    if (it->second.collections < 2) return kPerfInvalidData;
    if (it->second.path == kProcessorPath) {
      if (script_->cpu_refused) return kPerfInvalidData;
      *value = script_->cpu;
      return kPerfSuccess;
    }
    const auto v = script_->engine_values.find(it->second.path);
    if (v == script_->engine_values.end()) return kPerfNoInstance;
    *value = v->second;
    return kPerfSuccess;
  }
  PerfStatus CloseQuery(PerfQueryHandle query) override {
    EXPECT_EQ(query, PerfQueryHandle{77});
    ++script_->closes;
    live_.clear();
    return kPerfSuccess;
  }

 private:
  struct Live {
    std::u16string path;
    int collections;
  };
  std::shared_ptr<Script> script_;
  std::uint64_t next_counter_ = 1;
  std::map<std::uint64_t, Live> live_;
};

using testing::ExpectUntouched;
using testing::Untouched;

class PdhSourceTest : public ::testing::Test {
 protected:
  std::unique_ptr<PdhUtilizationSource> Make() {
    return std::make_unique<PdhUtilizationSource>(
        std::make_unique<ScriptedCounters>(script_));
  }

  // Sample's result and the record it left.
  static std::pair<bool, UtilizationSample> Take(PdhUtilizationSource& s) {
    UtilizationSample out = Untouched();
    const bool ok = s.Sample(out);
    return {ok, out};
  }

  std::shared_ptr<Script> script_ = std::make_shared<Script>();
};

TEST_F(PdhSourceTest, FirstSampleHasNoReadingSecondWritesOnlyItsFields) {
  const std::u16string render = Engine(u"pid_1_eng_render_engtype_3D");
  script_->engine_paths = {render};
  script_->engine_values = {{render, 12.5}};
  script_->cpu = 42.0;
  auto source = Make();

  const auto [first_ok, first] = Take(*source);
  EXPECT_FALSE(first_ok);
  ExpectUntouched(first);

  const auto before = std::chrono::steady_clock::now();
  const auto [ok, out] = Take(*source);
  ASSERT_TRUE(ok);
  EXPECT_EQ(out.cpu_pct, 42.0);
  EXPECT_EQ(out.igpu_pct, 12.5);
  EXPECT_EQ(out.dgpu_pct, -3.0);
  EXPECT_GE(out.timestamp, before);
  EXPECT_TRUE(out.valid);
}

struct SetupFailureCase {
  const char* name;
  PerfStatus open_status;
  bool processor_add_fails;
  int closes_at_once;  // the query is closed as soon as the add fails
};

class PdhSetupFailureTest
    : public PdhSourceTest,
      public ::testing::WithParamInterface<SetupFailureCase> {};

TEST_P(PdhSetupFailureTest, UnavailableForGood) {
  script_->open_status = GetParam().open_status;
  script_->processor_add_fails = GetParam().processor_add_fails;
  auto source = Make();
  EXPECT_EQ(script_->closes, GetParam().closes_at_once);
  for (int i = 0; i < 3; ++i) {
    const auto [ok, out] = Take(*source);
    EXPECT_FALSE(ok);
    ExpectUntouched(out);
  }
  EXPECT_EQ(script_->collections, 0);
  EXPECT_EQ(script_->sizing_calls, 0);
  source.reset();
  EXPECT_EQ(script_->closes, GetParam().closes_at_once);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PdhSetupFailureTest,
    ::testing::Values(SetupFailureCase{"OpenFails", kPerfNoData, false, 0},
                      SetupFailureCase{"ProcessorCounterRefused", kPerfSuccess,
                                       true, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PdhSourceNullLayerTest, UnavailableWithoutALayer) {
  PdhUtilizationSource source(nullptr);
  UtilizationSample out = Untouched();
  EXPECT_FALSE(source.Sample(out));
  ExpectUntouched(out);
}

TEST_F(PdhSourceTest, AddsExactlyThePathsNamingThe3DEngineType) {
  const std::u16string a = Engine(u"pid_1_eng_0_engtype_3D");
  const std::u16string b = Engine(u"pid_2_eng_9_engtype_3D_extra");
  const std::u16string refused = Engine(u"pid_3_eng_0_engtype_3D");
  script_->engine_paths = {
      Engine(u"pid_1_eng_1_engtype_Copy"), a,
      Engine(u"pid_1_eng_2_engtype_3d"),   Engine(u"pid_1_eng_3_ENGTYPE_3D"),
      Engine(u"pid_1_eng_4_engtype_VideoDecode"), b, refused};
  script_->engine_add_fails = {refused};
  script_->engine_values = {{a, 10.0}, {b, 20.0}, {refused, 40.0}};
  auto source = Make();
  EXPECT_EQ(script_->added_engines, (std::vector<std::u16string>{a, b}));
  Take(*source);
  EXPECT_EQ(Take(*source).second.igpu_pct, 30.0);
}

struct SumCase {
  const char* name;
  double cpu;
  std::vector<std::optional<double>> engines;  // nullopt: value refused
  double expected_igpu;
};

class PdhSumTest : public PdhSourceTest,
                   public ::testing::WithParamInterface<SumCase> {};

TEST_P(PdhSumTest, SumsTheEnginesWithAValueAndClampsAt100) {
  script_->cpu = GetParam().cpu;
  int i = 0;
  for (const std::optional<double>& value : GetParam().engines) {
    const std::u16string path =
        Engine(u"pid_1_eng_" + std::u16string(1, u'a' + i++) + u"_engtype_3D");
    script_->engine_paths.push_back(path);
    if (value) script_->engine_values[path] = *value;
  }
  auto source = Make();
  Take(*source);
  const auto [ok, out] = Take(*source);
  ASSERT_TRUE(ok);
  EXPECT_EQ(out.cpu_pct, GetParam().cpu);
  EXPECT_EQ(out.igpu_pct, GetParam().expected_igpu);
}

INSTANTIATE_TEST_SUITE_P(
    Engines, PdhSumTest,
    ::testing::Values(
        SumCase{"Sum", 5.0, {40.0, 30.0}, 70.0},
        SumCase{"ClampedAt100", 5.0, {100.0, 100.0, 50.0}, 100.0},
        SumCase{"RefusedEngineSkipped", 5.0, {std::nullopt, 20.0}, 20.0},
        SumCase{"NoEnginesReadZero", 5.0, {}, 0.0},
        SumCase{"ProcessorNotClamped", 150.0, {}, 0.0}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailedReadingCase {
  const char* name;
  PerfStatus collect_status;
  bool cpu_refused;
};

class PdhFailedReadingTest
    : public PdhSourceTest,
      public ::testing::WithParamInterface<FailedReadingCase> {};

TEST_P(PdhFailedReadingTest, WritesNothingAndRecovers) {
  auto source = Make();
  Take(*source);
  ASSERT_TRUE(Take(*source).first);
  script_->collect_status = GetParam().collect_status;
  script_->cpu_refused = GetParam().cpu_refused;
  const auto [ok, out] = Take(*source);
  EXPECT_FALSE(ok);
  ExpectUntouched(out);
  script_->collect_status = kPerfSuccess;
  script_->cpu_refused = false;
  EXPECT_TRUE(Take(*source).first);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PdhFailedReadingTest,
    ::testing::Values(
        FailedReadingCase{"CollectionFails", kPerfNoData, false},
        FailedReadingCase{"ProcessorValueRefused", kPerfSuccess, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PdhSourceTest, RediscoversEngineCountersOnEvery51stSample) {
  const std::u16string render = Engine(u"pid_1_eng_render_engtype_3D");
  script_->engine_paths = {render};
  script_->engine_values = {{render, 25.0}};
  script_->cpu = 10.0;
  auto source = Make();
  ASSERT_EQ(script_->filling_calls, 1);

  std::vector<int> refreshed_at;
  for (int call = 1; call <= 160; ++call) {
    const int before = script_->filling_calls;
    const auto [ok, out] = Take(*source);
    const bool refreshed = script_->filling_calls != before;
    if (refreshed) refreshed_at.push_back(call);
    if (call == 1) continue;  // nothing has two collections yet
    ASSERT_TRUE(ok) << "call " << call;
    EXPECT_EQ(out.cpu_pct, 10.0) << "call " << call;
    // A rediscovered counter has one collection, so it reads nothing yet.
    EXPECT_EQ(out.igpu_pct, refreshed ? 0.0 : 25.0) << "call " << call;
  }
  EXPECT_EQ(refreshed_at, (std::vector<int>{51, 102, 153}));
  EXPECT_EQ(script_->removes, 3);  // the old counter, each time
  EXPECT_EQ(script_->sizing_calls, 4);
}

struct RefreshFailureCase {
  const char* name;
  PerfStatus sizing_status;
  bool sizing_reports_zero;
  PerfStatus filling_status;
};

class PdhRefreshFailureTest
    : public PdhSourceTest,
      public ::testing::WithParamInterface<RefreshFailureCase> {
 protected:
  void Fail(bool fail) {
    script_->sizing_status = fail ? GetParam().sizing_status : kPerfMoreData;
    script_->sizing_reports_zero = fail && GetParam().sizing_reports_zero;
    script_->filling_status = fail ? GetParam().filling_status : kPerfSuccess;
  }
};

TEST_P(PdhRefreshFailureTest, LeavesNoEnginesAndRetriesEverySampleFrom51st) {
  const std::u16string render = Engine(u"pid_1_eng_render_engtype_3D");
  script_->engine_paths = {render};
  script_->engine_values = {{render, 25.0}};
  Fail(true);
  auto source = Make();  // the first attempt fails here
  EXPECT_TRUE(script_->added_engines.empty());

  std::vector<int> attempts;
  for (int call = 1; call <= 54; ++call) {
    const int before = script_->sizing_calls;
    const auto [ok, out] = Take(*source);
    if (script_->sizing_calls != before) attempts.push_back(call);
    if (call > 1) {
      ASSERT_TRUE(ok);
      EXPECT_EQ(out.igpu_pct, 0.0);
    }
  }
  EXPECT_EQ(attempts, (std::vector<int>{51, 52, 53, 54}));
  EXPECT_TRUE(script_->added_engines.empty());

  // One attempt succeeds: the cadence restarts from there.
  Fail(false);
  attempts.clear();
  for (int call = 55; call <= 160; ++call) {
    const int before = script_->sizing_calls;
    Take(*source);
    if (script_->sizing_calls != before) attempts.push_back(call);
  }
  EXPECT_EQ(attempts, (std::vector<int>{55, 106, 157}));
  ASSERT_FALSE(script_->added_engines.empty());
  EXPECT_EQ(Take(*source).second.igpu_pct, 25.0);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, PdhRefreshFailureTest,
    ::testing::Values(
        RefreshFailureCase{"SizingCallFails", kPerfNoObject, false,
                           kPerfSuccess},
        RefreshFailureCase{"SizingCallSucceedsUnexpectedly", kPerfSuccess,
                           false, kPerfSuccess},
        RefreshFailureCase{"SizingCallReportsZeroLength", kPerfMoreData, true,
                           kPerfSuccess},
        RefreshFailureCase{"FillingCallFails", kPerfMoreData, false,
                           kPerfMoreData}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PdhSourceTest, DestructionClosesTheQueryOnceWithoutRemovingCounters) {
  script_->engine_paths = {Engine(u"a_engtype_3D"), Engine(u"b_engtype_3D")};
  auto source = Make();
  Take(*source);
  source.reset();
  EXPECT_EQ(script_->closes, 1);
  EXPECT_EQ(script_->removes, 0);
}

// ---------------------------------------------------------------- on /proc

class PdhSourceOnProcTest : public ::testing::Test {
 protected:
  std::unique_ptr<PdhUtilizationSource> Make() {
    return std::make_unique<PdhUtilizationSource>(
        MakePlatformPerfCounters(proc_.root(), [this] { return now_ns_; }));
  }

  void Advance() { now_ns_ += 100'000'000; }

  testing::ProcFixture proc_;
  std::int64_t now_ns_ = 1'000'000'000;
};

std::string RenderNs(const char* engine, std::uint64_t ms) {
  return "drm-engine-" + std::string(engine) + ":\t" +
         std::to_string(ms * 1'000'000) + " ns\n";
}

std::string XeCycles(std::uint64_t busy, std::uint64_t total) {
  return "drm-cycles-rcs:\t" + std::to_string(busy) +
         "\ndrm-total-cycles-rcs:\t" + std::to_string(total) + "\n";
}

TEST_F(PdhSourceOnProcTest, ReadsProcessorAnd3DEnginesOfEveryDriver) {
  using testing::DrmFdinfo;
  const auto write = [&](std::uint64_t render_ms, std::uint64_t copy_ms,
                         std::uint64_t xe_busy, std::uint64_t xe_total) {
    proc_.WriteFdinfo(
        100, 5,
        DrmFdinfo("i915", testing::kIgpuPdev, 1,
                  RenderNs("render", render_ms) + RenderNs("copy", copy_ms)));
    proc_.WriteFdinfo(200, 7,
                      DrmFdinfo("xe", "0000:00:02.0", 2,
                                XeCycles(xe_busy, xe_total)));
  };
  proc_.WriteStat("cpu  100 0 100 800 0 0 0 0 0 0");
  write(0, 0, 0, 0);
  auto source = Make();

  UtilizationSample out;
  EXPECT_FALSE(source->Sample(out));
  proc_.WriteStat("cpu  130 0 100 870 0 0 0 0 0 0");
  write(20, 90, 150, 1000);  // render 20 %, copy 90 % (not 3D), rcs 15 %
  Advance();
  ASSERT_TRUE(source->Sample(out));
  EXPECT_DOUBLE_EQ(out.cpu_pct, 30.0);
  EXPECT_DOUBLE_EQ(out.igpu_pct, 35.0);
}

TEST_F(PdhSourceOnProcTest, MachineWithoutDrmClientsReadsZeroGpu) {
  proc_.WriteStat("cpu  0 0 0 0 0 0 0 0 0 0");
  proc_.WriteFdinfo(1, 0, "pos:\t0\nflags:\t02\nmnt_id:\t1\nino:\t2\n");
  auto source = Make();
  UtilizationSample out;
  EXPECT_FALSE(source->Sample(out));
  proc_.WriteStat("cpu  50 0 0 50 0 0 0 0 0 0");
  ASSERT_TRUE(source->Sample(out));
  EXPECT_EQ(out.cpu_pct, 50.0);
  EXPECT_EQ(out.igpu_pct, 0.0);
}

TEST_F(PdhSourceOnProcTest, NoStatFileMeansUnavailable) {
  proc_.WriteFdinfo(100, 5,
                    testing::DrmFdinfo("i915", testing::kIgpuPdev, 1,
                                       RenderNs("render", 0)));
  auto source = Make();
  UtilizationSample out;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(source->Sample(out));
  proc_.WriteStat("cpu  50 0 0 50 0 0 0 0 0 0");  // too late: for good
  EXPECT_FALSE(source->Sample(out));
}

TEST_F(PdhSourceOnProcTest, ClientsAppearingAndVanishingBetweenRefreshes) {
  using testing::DrmFdinfo;
  std::uint64_t cpu_busy = 0;
  std::uint64_t first_ms = 0;
  std::uint64_t second_ms = 0;
  bool first_open = true;
  bool second_open = false;
  const auto tick = [&] {
    cpu_busy += 10;
    proc_.WriteStat("cpu  " + std::to_string(cpu_busy) + " 0 0 " +
                    std::to_string(cpu_busy) + " 0 0 0 0 0 0");
    first_ms += 10;   // 10 %
    second_ms += 50;  // 50 %
    if (first_open) {
      proc_.WriteFdinfo(100, 5, DrmFdinfo("amdgpu", "0000:03:00.0", 1,
                                          RenderNs("gfx", first_ms)));
    }
    if (second_open) {
      proc_.WriteFdinfo(300, 4, DrmFdinfo("amdgpu", "0000:03:00.0", 2,
                                          RenderNs("gfx", second_ms)));
    }
    Advance();
  };
  tick();
  auto source = Make();
  UtilizationSample out;
  for (int call = 1; call <= 53; ++call) {
    if (call == 10) second_open = true;  // opened after the first discovery
    if (call == 52) {  // the first client exits
      first_open = false;
      proc_.Remove("100");
    }
    tick();
    const bool ok = source->Sample(out);
    if (call == 1) continue;
    ASSERT_TRUE(ok) << "call " << call;
    EXPECT_DOUBLE_EQ(out.cpu_pct, 50.0) << "call " << call;
    double expected = 10.0;            // only the first client is known
    if (call == 51) expected = 0.0;    // rediscovered: one collection each
    if (call == 52) expected = 50.0;   // the second only; the first is gone
    if (call == 53) expected = 50.0;
    EXPECT_DOUBLE_EQ(out.igpu_pct, expected) << "call " << call;
  }
}

}  // namespace
}  // namespace idlewick
