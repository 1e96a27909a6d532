#include <gtest/gtest.h>

#include <string>

#include "core/routing.h"

namespace idlewick {
namespace {

constexpr ScoringWeights kDefaults{};

DeviceLoad Load(double utilization, std::uint64_t queued, double latency,
                std::uint64_t in_flight = 0) {
  return DeviceLoad{utilization, queued, latency, in_flight};
}

struct ScoreCase {
  std::string name;
  DeviceLoad load;
  ScoringWeights weights;
  double score;
  double expected_ms;
};

class ScoreTest : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(ScoreTest, MatchesTheFormula) {
  const ScoreCase& c = GetParam();
  EXPECT_NEAR(Score(c.load, c.weights), c.score, 1e-12);
  EXPECT_NEAR(ExpectedCompletionMs(c.load), c.expected_ms, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ScoreTest,
    ::testing::Values(
        ScoreCase{"Busy80Idle", Load(80, 0, 0), kDefaults, 0.6, 0.0},
        ScoreCase{"Light20Backlog1", Load(20, 1, 0), kDefaults, 0.75, 0.0},
        ScoreCase{"IdleEmpty", Load(0, 0, 0), kDefaults, 1.0, 0.0},
        ScoreCase{"InFlightCountsAsBacklog", Load(20, 0, 0, 1), kDefaults, 0.75, 0.0},
        ScoreCase{"HistoryLowersL", Load(0, 0, 4), kDefaults, 0.5 + 0.3 + 0.04, 4.0},
        ScoreCase{"ExpectedScalesWithBacklog", Load(0, 4, 10), kDefaults,
                  0.5 + 0.3 / 5 + 0.2 / 11, 50.0},
        ScoreCase{"OverFullUtilizationIsNotClamped", Load(150, 0, 0), kDefaults,
                  -0.25 + 0.3 + 0.2, 0.0},
        ScoreCase{"WeightsAreTakenAsGiven", Load(50, 1, 1), ScoringWeights{2, -1, 0},
                  1.0 - 0.5, 2.0}),
    [](const auto& info) { return info.param.name; });

struct PairCase {
  std::string name;
  DeviceLoad first;
  DeviceLoad second;
  bool second_wins;
};

class SecondIsBetterTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(SecondIsBetterTest, PicksTheStrictlyBetterDevice) {
  const PairCase& c = GetParam();
  EXPECT_EQ(SecondIsBetter(c.first, c.second, kDefaults), c.second_wins);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SecondIsBetterTest,
    ::testing::Values(
        // Both 0.75: a tie stays with the first.
        PairCase{"ScoreTieGoesToFirst", Load(50, 0, 0), Load(10, 2, 0), false},
        PairCase{"ScoreWinsByUtilization", Load(60, 0, 0), Load(10, 0, 0), true},
        // 50 ms against 40 ms: the slower device wins on backlog.
        PairCase{"ExpectedCompletionWins", Load(0, 4, 10), Load(0, 1, 20), true},
        PairCase{"ExpectedTieGoesToFirst", Load(0, 1, 10), Load(0, 0, 20), false},
        // With history on both, utilization no longer matters.
        PairCase{"UtilizationIgnoredWithHistory", Load(0, 0, 5), Load(99, 0, 4), true},
        // Only the second has history: compared by score, and its L shrinks.
        PairCase{"MixedHistoryUsesScore", Load(0, 0, 0), Load(0, 0, 1), false},
        PairCase{"MixedHistoryFirstHasIt", Load(0, 0, 1), Load(0, 0, 0), true}),
    [](const auto& info) { return info.param.name; });

struct TripleCase {
  std::string name;
  DeviceLoad cpu, igpu, dgpu;
  int winner;
};

class BestOfThreeTest : public ::testing::TestWithParam<TripleCase> {};

TEST_P(BestOfThreeTest, PicksTheBestWithTiesToTheEarlierDevice) {
  const TripleCase& c = GetParam();
  EXPECT_EQ(BestOfThree(c.cpu, c.igpu, c.dgpu, kDefaults), c.winner);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, BestOfThreeTest,
    ::testing::Values(
        TripleCase{"WorkedExampleDgpu", Load(80, 0, 0), Load(20, 1, 0), Load(0, 0, 0), 2},
        TripleCase{"AllEqualCpu", Load(10, 1, 0), Load(10, 1, 0), Load(10, 1, 0), 0},
        TripleCase{"IgpuBestByScore", Load(50, 0, 0), Load(0, 0, 0), Load(50, 0, 0), 1},
        TripleCase{"IgpuDgpuTieGoesToIgpu", Load(90, 0, 0), Load(0, 0, 0), Load(0, 0, 0), 1},
        TripleCase{"CpuDgpuTieGoesToCpu", Load(0, 0, 0), Load(50, 0, 0), Load(0, 0, 0), 0},
        TripleCase{"ExpectedCpu", Load(0, 0, 5), Load(0, 0, 6), Load(0, 0, 7), 0},
        TripleCase{"ExpectedIgpu", Load(0, 4, 10), Load(0, 1, 20), Load(0, 0, 45), 1},
        TripleCase{"ExpectedDgpu", Load(0, 4, 10), Load(0, 1, 20), Load(0, 0, 30), 2},
        TripleCase{"ExpectedTieGoesToCpu", Load(0, 1, 10), Load(0, 0, 20), Load(0, 3, 5), 0},
        // One device without history switches all three to scores.
        TripleCase{"MixedHistoryUsesScore", Load(0, 0, 1), Load(0, 9, 1), Load(0, 0, 0), 2}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace idlewick
