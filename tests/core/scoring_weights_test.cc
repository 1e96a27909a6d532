#include "core/scoring_weights.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <fstream>
#include <string>

namespace idlewick {
namespace {

struct WeightsCase {
  std::string name;
  std::string file;  // exact file content
  double w1, w2, w3;
};

class LoadScoringWeightsTest : public ::testing::TestWithParam<WeightsCase> {
 protected:
  std::string WriteFile(const std::string& content) {
    const auto path = std::filesystem::path(::testing::TempDir()) /
                      ("weights_" + GetParam().name + ".txt");
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
};

TEST_P(LoadScoringWeightsTest, ReadsTheFile) {
  const WeightsCase& c = GetParam();
  const ScoringWeights weights = LoadScoringWeights(WriteFile(c.file));
  EXPECT_DOUBLE_EQ(weights.w1, c.w1);
  EXPECT_DOUBLE_EQ(weights.w2, c.w2);
  EXPECT_DOUBLE_EQ(weights.w3, c.w3);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LoadScoringWeightsTest,
    ::testing::Values(
        WeightsCase{"Empty", "", 0.5, 0.3, 0.2},
        WeightsCase{"CommentsOnly", "# tuned\n\n# w1: 0.9\n", 0.5, 0.3, 0.2},
        WeightsCase{"Plain", "w1: 0.7\n", 0.7, 0.3, 0.2},
        WeightsCase{"NoSpace", "w1:0.7\n", 0.7, 0.3, 0.2},
        WeightsCase{"SpacesAndTabs", " \t w1:\t 0.7 \t\n", 0.7, 0.3, 0.2},
        WeightsCase{"SpaceBeforeColon", "w1 : 0.7\n", 0.5, 0.3, 0.2},
        WeightsCase{"CapitalKey", "W1: 0.7\n", 0.5, 0.3, 0.2},
        WeightsCase{"TrailingComment", "w1: 0.7 # tuned\n", 0.7, 0.3, 0.2},
        WeightsCase{"NumberEndsAtComma", "w1: 0.7, w2: 0.1\n", 0.7, 0.3, 0.2},
        WeightsCase{"W1TriedFirst", "w2: 0.1 w1: 0.9\n", 0.9, 0.3, 0.2},
        WeightsCase{"GluedToLetter", "xw1: 0.9\n", 0.5, 0.3, 0.2},
        WeightsCase{"AfterUnderscore", "x_w1: 0.9\n", 0.9, 0.3, 0.2},
        WeightsCase{"OnlyFirstOccurrence", "xw1: 0.9 w1: 0.8\n", 0.5, 0.3, 0.2},
        WeightsCase{"LongerKey", "w10: 5\n", 0.5, 0.3, 0.2},
        WeightsCase{"NotANumber", "w1: abc\n", 0.5, 0.3, 0.2},
        WeightsCase{"BareKey", "w1:\n", 0.5, 0.3, 0.2},
        WeightsCase{"OutOfRange", "w1: 1e999\n", 0.5, 0.3, 0.2},
        WeightsCase{"NextKeyTakesItsValue", "w1: abc w2: 0.25\n", 0.5, 0.25, 0.2},
        WeightsCase{"Negative", "w1: -0.5\n", -0.5, 0.3, 0.2},
        WeightsCase{"Exponent", "w3: 2.5e-1\n", 0.5, 0.3, 0.25},
        WeightsCase{"LaterLineWins", "w1: 0.6\nw1: 0.4\n", 0.4, 0.3, 0.2},
        WeightsCase{"AllThreeCrLf", "w1: 0.1\r\nw2: 0.2\r\nw3: 0.7\r\n", 0.1, 0.2, 0.7},
        WeightsCase{"AllThreeLf", "w1: 0.1\nw2: 0.2\nw3: 0.7\n", 0.1, 0.2, 0.7},
        WeightsCase{"NoFinalLf", "w1: 0.6\nw2: 0.15", 0.6, 0.15, 0.2}),
    [](const auto& info) { return info.param.name; });

TEST(LoadScoringWeightsFileTest, MissingFileGivesDefaults) {
  const ScoringWeights weights =
      LoadScoringWeights(::testing::TempDir() + "/no_such_dir/weights.txt");
  EXPECT_EQ(weights.w1, 0.5);
  EXPECT_EQ(weights.w2, 0.3);
  EXPECT_EQ(weights.w3, 0.2);
}

TEST(LoadScoringWeightsFileTest, IgnoresTheHostLocale) {
  // A host that switched to a locale with a decimal comma must not change how
  // "0.7" reads. Skipped where no such locale is installed.
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
    GTEST_SKIP() << "de_DE.UTF-8 locale not installed";
  }
  const auto path = std::filesystem::path(::testing::TempDir()) / "weights_locale.txt";
  std::ofstream(path) << "w1: 0.7\n";
  const ScoringWeights weights = LoadScoringWeights(path.string());
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(weights.w1, 0.7);
}

}  // namespace
}  // namespace idlewick
