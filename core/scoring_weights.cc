#include "core/scoring_weights.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <locale.h>
#include <optional>
#include <string_view>

namespace idlewick {
namespace {

constexpr std::string_view kBlank = " \t\r\n";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// strtod in the C locale whatever the host process set, so that "0.7" means
// the same in every environment.
std::optional<double> ParseNumber(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  char* end = nullptr;
  errno = 0;
  const double value = strtod_l(text.c_str(), &end, c_locale);
  if (end == text.c_str() || errno == ERANGE) return std::nullopt;
  return value;
}

// The number set for `key` on `line`, if the line sets one. Only the first
// "key:" on the line is examined.
std::optional<double> MatchKey(std::string_view line, std::string_view key) {
  std::string needle(key);
  needle += ':';
  const auto at = line.find(needle);
  if (at == std::string_view::npos) return std::nullopt;
  if (at > 0 && std::isalnum(static_cast<unsigned char>(line[at - 1]))) {
    return std::nullopt;
  }
  const std::string_view value = Trim(line.substr(at + needle.size()));
  if (value.empty()) return std::nullopt;
  return ParseNumber(std::string(value));
}

}  // namespace

ScoringWeights LoadScoringWeights(const std::string& path) {
  ScoringWeights weights;
  std::ifstream file(path);
  if (!file) return weights;
  const struct {
    std::string_view key;
    double ScoringWeights::*field;
  } kKeys[] = {{"w1", &ScoringWeights::w1},
               {"w2", &ScoringWeights::w2},
               {"w3", &ScoringWeights::w3}};
  std::string raw;
  while (std::getline(file, raw)) {
    std::string_view line = raw;
    line = line.substr(0, line.find('#'));
    for (const auto& [key, field] : kKeys) {
      if (const auto value = MatchKey(line, key)) {
        weights.*field = *value;
        break;
      }
    }
  }
  return weights;
}

}  // namespace idlewick
