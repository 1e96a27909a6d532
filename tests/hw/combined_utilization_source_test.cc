#include "hw/combined_utilization_source.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace idlewick {
namespace {

// Writes fixed figures when told to succeed and counts its calls.
class FixedSource final : public IUtilizationSource {
 public:
  FixedSource(bool succeeds, double cpu, double igpu, double dgpu, int* calls)
      : succeeds_(succeeds), cpu_(cpu), igpu_(igpu), dgpu_(dgpu), calls_(calls) {}
  bool Sample(UtilizationSample& out) override {
    ++*calls_;
    if (!succeeds_) return false;
    out.cpu_pct = cpu_;
    out.igpu_pct = igpu_;
    out.dgpu_pct = dgpu_;
    out.timestamp = std::chrono::steady_clock::time_point(std::chrono::seconds(7));
    out.valid = true;
    return true;
  }

 private:
  bool succeeds_;
  double cpu_, igpu_, dgpu_;
  int* calls_;
};

enum class Member { kMissing, kFails, kDelivers };

struct CombinedCase {
  std::string name;
  Member primary;
  Member secondary;
  bool result;
  double dgpu;  // expected out.dgpu_pct; the caller passes in -1
  int secondary_calls;
};

class CombinedSourceTest : public ::testing::TestWithParam<CombinedCase> {};

TEST_P(CombinedSourceTest, PrimaryDecidesSecondaryOnlyAddsTheDiscreteGpu) {
  const CombinedCase& c = GetParam();
  int primary_calls = 0;
  int secondary_calls = 0;
  auto make = [](Member member, double figure, int* calls) -> std::unique_ptr<IUtilizationSource> {
    if (member == Member::kMissing) return nullptr;
    return std::make_unique<FixedSource>(member == Member::kDelivers, figure, figure,
                                         figure, calls);
  };
  CombinedUtilizationSource combined(make(c.primary, 10.0, &primary_calls),
                                     make(c.secondary, 77.0, &secondary_calls));
  UtilizationSample out{};
  out.dgpu_pct = -1.0;
  EXPECT_EQ(combined.Sample(out), c.result);
  EXPECT_EQ(out.dgpu_pct, c.dgpu);
  EXPECT_EQ(secondary_calls, c.secondary_calls);
  if (c.result) {
    // The secondary's cpu, igpu, timestamp and valid are dropped.
    EXPECT_EQ(out.cpu_pct, 10.0);
    EXPECT_EQ(out.igpu_pct, 10.0);
    EXPECT_TRUE(out.valid);
  } else {
    EXPECT_EQ(out.cpu_pct, 0.0);
    EXPECT_FALSE(out.valid);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Members, CombinedSourceTest,
    ::testing::Values(
        CombinedCase{"NoPrimary", Member::kMissing, Member::kDelivers, false, -1.0, 0},
        CombinedCase{"PrimaryFails", Member::kFails, Member::kDelivers, false, -1.0, 0},
        CombinedCase{"NoSecondary", Member::kDelivers, Member::kMissing, true, 10.0, 0},
        CombinedCase{"SecondaryFails", Member::kDelivers, Member::kFails, true, 10.0, 1},
        CombinedCase{"BothDeliver", Member::kDelivers, Member::kDelivers, true, 77.0, 1}),
    [](const auto& info) { return info.param.name; });

TEST(CombinedSourceNestingTest, NestedSecondaryContributesItsResultingFigure) {
  int calls = 0;
  // Inner: a primary that writes dgpu 5 and a failing secondary, so the inner
  // combined source yields its primary's 5.
  auto inner = std::make_unique<CombinedUtilizationSource>(
      std::make_unique<FixedSource>(true, 1.0, 2.0, 5.0, &calls),
      std::make_unique<FixedSource>(false, 0, 0, 0, &calls));
  CombinedUtilizationSource outer(std::make_unique<FixedSource>(true, 30.0, 40.0, 0.0, &calls),
                                  std::move(inner));
  UtilizationSample out{};
  ASSERT_TRUE(outer.Sample(out));
  EXPECT_EQ(out.cpu_pct, 30.0);
  EXPECT_EQ(out.igpu_pct, 40.0);
  EXPECT_EQ(out.dgpu_pct, 5.0);
}

}  // namespace
}  // namespace idlewick
