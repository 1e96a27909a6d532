// NvmlUtilizationSource over fake management libraries whose exports are
// fixed at build time and whose answers the tests steer (fake_nvml.cc).
#include "hw/nvml_utilization_source.h"

#include <dlfcn.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "hw/dynamic_library.h"
#include "tests/hw/fake_nvml_control.h"
#include "tests/hw/sample_helpers.h"

namespace idlewick {
namespace {

using testing::ExpectUntouched;
using testing::Untouched;

// Paths of the fake libraries, from the build.
constexpr const char* kFull = FAKE_NVML_FULL;
constexpr const char* kUnsuffixed = FAKE_NVML_UNSUFFIXED;

constexpr const char* kNotFound =
    "NVML shared library not found (NVIDIA drivers may not be installed)";
#define EM_DASH "\xE2\x80\x94"

// Whether the loader still holds `path`; asks without loading it.
bool IsLoaded(const char* path) {
  void* handle = ::dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

class NvmlSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeNvmlReset();
    ASSERT_FALSE(IsLoaded(kFull));
  }
  static FakeNvmlControl& fake() { return *FakeNvml(); }
};

TEST_F(NvmlSourceTest, AbsentLibraryLeavesTheSourceUnavailable) {
  {
    NvmlUtilizationSource source(0, "libidlewick-absent-nvml.so.1");
    EXPECT_FALSE(source.IsReady());
    EXPECT_EQ(source.last_error(), kNotFound);
    for (int i = 0; i < 2; ++i) {
      UtilizationSample out = Untouched();
      EXPECT_FALSE(source.Sample(out));
      ExpectUntouched(out);
    }
  }
  EXPECT_EQ(fake().shutdown_calls, 0);
}

class NvmlMissingEntryTest
    : public NvmlSourceTest,
      public ::testing::WithParamInterface<const char*> {};

TEST_P(NvmlMissingEntryTest, ReadsAsAbsentAndReleasesTheLibraryAtOnce) {
  NvmlUtilizationSource source(0, GetParam());
  EXPECT_FALSE(source.IsReady());
  EXPECT_EQ(source.last_error(), kNotFound);
  EXPECT_FALSE(IsLoaded(GetParam()));
  EXPECT_EQ(fake().init_v2_calls + fake().init_calls, 0);
  EXPECT_EQ(fake().shutdown_calls, 0);
  UtilizationSample out;
  EXPECT_FALSE(source.Sample(out));
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, NvmlMissingEntryTest,
    ::testing::Values(FAKE_NVML_NO_SHUTDOWN, FAKE_NVML_NO_UTILIZATION,
                      FAKE_NVML_NO_INIT, FAKE_NVML_NO_HANDLE),
    [](const auto& info) {
      const std::string path = info.param;
      const std::size_t slash = path.rfind('/');
      std::string name = path.substr(slash + 1);
      name = name.substr(0, name.find('.'));
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST_F(NvmlSourceTest, PrefersTheV2EntriesWhenBothExist) {
  NvmlUtilizationSource source(0, kFull);
  EXPECT_TRUE(source.IsReady());
  EXPECT_EQ(source.last_error(), "");
  EXPECT_EQ(fake().init_v2_calls, 1);
  EXPECT_EQ(fake().init_calls, 0);
  EXPECT_EQ(fake().handle_v2_calls, 1);
  EXPECT_EQ(fake().handle_calls, 0);
  EXPECT_EQ(fake().last_index, 0u);
  EXPECT_TRUE(IsLoaded(kFull));
}

TEST_F(NvmlSourceTest, WorksWithOnlyTheUnsuffixedEntries) {
  NvmlUtilizationSource source(0, kUnsuffixed);
  ASSERT_TRUE(source.IsReady()) << source.last_error();
  EXPECT_EQ(fake().init_calls, 1);
  EXPECT_EQ(fake().handle_calls, 1);
  fake().gpu = 64;
  UtilizationSample out;
  ASSERT_TRUE(source.Sample(out));
  EXPECT_EQ(out.dgpu_pct, 64.0);
}

struct SetupFailureCase {
  const char* name;
  std::uint32_t device_index;
  std::int32_t init_status;
  std::int32_t missing_device_status;
  bool null_handle;
  const char* expected_error;
  int handle_calls;
};

class NvmlSetupFailureTest
    : public NvmlSourceTest,
      public ::testing::WithParamInterface<SetupFailureCase> {};

TEST_P(NvmlSetupFailureTest, KeepsTheReasonShutsDownOnceAndReleases) {
  const SetupFailureCase& c = GetParam();
  fake().init_status = c.init_status;
  fake().missing_device_status = c.missing_device_status;
  fake().null_handle = c.null_handle;
  {
    NvmlUtilizationSource source(c.device_index, kFull);
    EXPECT_FALSE(source.IsReady());
    EXPECT_EQ(source.last_error(), c.expected_error);
    EXPECT_EQ(fake().handle_v2_calls, c.handle_calls);
    EXPECT_EQ(fake().shutdown_calls, 1);
    EXPECT_FALSE(IsLoaded(kFull));
    UtilizationSample out = Untouched();
    EXPECT_FALSE(source.Sample(out));
    ExpectUntouched(out);
    EXPECT_EQ(fake().utilization_calls, 0);
  }
  EXPECT_EQ(fake().shutdown_calls, 1);  // not again at destruction
}

INSTANTIATE_TEST_SUITE_P(
    Steps, NvmlSetupFailureTest,
    ::testing::Values(
        SetupFailureCase{"InitFails", 0, 3, 2, false,
                         "nvmlInit() failed (rc=3)", 0},
        SetupFailureCase{"InitFailsNegative", 0, -1, 2, false,
                         "nvmlInit() failed (rc=-1)", 0},
        SetupFailureCase{"SecondDeviceMissing", 1, 0, 2, false,
                         "nvmlDeviceGetHandleByIndex(1) failed (rc=2) " EM_DASH
                         " device not present?",
                         1},
        SetupFailureCase{"IndexUnsignedStatusSigned", 4294967295u, 0, -7,
                         false,
                         "nvmlDeviceGetHandleByIndex(4294967295) failed "
                         "(rc=-7) " EM_DASH " device not present?",
                         1},
        SetupFailureCase{"SuccessWithoutHandle", 0, 0, 2, true,
                         "nvmlDeviceGetHandleByIndex(0) failed (rc=0) " EM_DASH
                         " device not present?",
                         1}),
    [](const auto& info) { return std::string(info.param.name); });

struct ReadingCase {
  const char* name;
  std::uint32_t gpu;
  double expected;
};

class NvmlReadingTest : public NvmlSourceTest,
                        public ::testing::WithParamInterface<ReadingCase> {};

TEST_P(NvmlReadingTest, WritesTheGpuFigureAtMost100) {
  NvmlUtilizationSource source(0, kFull);
  ASSERT_TRUE(source.IsReady());
  fake().gpu = GetParam().gpu;
  UtilizationSample out = Untouched();
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(source.Sample(out));
  EXPECT_EQ(out.dgpu_pct, GetParam().expected);
  EXPECT_EQ(out.cpu_pct, -1.0);
  EXPECT_EQ(out.igpu_pct, -2.0);
  EXPECT_GE(out.timestamp, before);
  EXPECT_TRUE(out.valid);
  EXPECT_TRUE(fake().utilization_got_issued_handle);
  EXPECT_TRUE(fake().utilization_record_zeroed);
}

INSTANTIATE_TEST_SUITE_P(
    Figures, NvmlReadingTest,
    ::testing::Values(ReadingCase{"Idle", 0, 0.0},
                      ReadingCase{"Partly", 37, 37.0},
                      ReadingCase{"Full", 100, 100.0},
                      ReadingCase{"Above100", 130, 100.0},
                      // Compared unsigned: not a negative number.
                      ReadingCase{"LargestUnsigned", 4294967295u, 100.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NvmlSourceTest, FailedReadingCountsForThatSampleOnly) {
  NvmlUtilizationSource source(0, kFull);
  ASSERT_TRUE(source.IsReady());
  fake().utilization_status = 999;
  UtilizationSample out = Untouched();
  EXPECT_FALSE(source.Sample(out));
  ExpectUntouched(out);

  fake().utilization_status = 0;
  fake().gpu = 12;
  ASSERT_TRUE(source.Sample(out));
  EXPECT_EQ(out.dgpu_pct, 12.0);
  EXPECT_EQ(fake().utilization_calls, 2);
  EXPECT_EQ(fake().init_v2_calls, 1);  // never initialized again
}

TEST_F(NvmlSourceTest, DestroyingAReadySourceShutsDownOnceAndReleases) {
  {
    NvmlUtilizationSource source(0, kFull);
    ASSERT_TRUE(source.IsReady());
    UtilizationSample out;
    ASSERT_TRUE(source.Sample(out));
    EXPECT_EQ(fake().shutdown_calls, 0);
  }
  EXPECT_EQ(fake().shutdown_calls, 1);
  EXPECT_FALSE(IsLoaded(kFull));
}

TEST(DynamicLibraryTest, LoadsResolvesAndReleases) {
  EXPECT_EQ(LoadDynamicLibrary("libidlewick-absent.so.1"), nullptr);
  EXPECT_EQ(LoadDynamicLibrary(nullptr), nullptr);
  EXPECT_EQ(FindLibraryEntry(nullptr, "nvmlInit"), nullptr);
  FreeDynamicLibrary(nullptr);

  const LibraryHandle library = LoadDynamicLibrary(kUnsuffixed);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(FindLibraryEntry(library, "nvmlInit"), nullptr);
  EXPECT_EQ(FindLibraryEntry(library, "nvmlInit_v2"), nullptr);
  // Loaded locally: its entries do not leak into the global scope.
  EXPECT_EQ(::dlsym(RTLD_DEFAULT, "nvmlDeviceGetUtilizationRates"), nullptr);
  FreeDynamicLibrary(library);
  EXPECT_FALSE(IsLoaded(kUnsuffixed));
}

}  // namespace
}  // namespace idlewick
