// A UtilizationSample whose every field shows whether a source wrote it.
#ifndef IDLEWICK_TESTS_HW_SAMPLE_HELPERS_H_
#define IDLEWICK_TESTS_HW_SAMPLE_HELPERS_H_

#include <chrono>

#include <gtest/gtest.h>

#include "hw/utilization_source.h"

namespace idlewick::testing {

inline UtilizationSample Untouched() {
  UtilizationSample s;
  s.cpu_pct = -1.0;
  s.igpu_pct = -2.0;
  s.dgpu_pct = -3.0;
  s.timestamp = std::chrono::steady_clock::time_point{std::chrono::hours(1)};
  s.valid = false;
  return s;
}

inline void ExpectUntouched(const UtilizationSample& s) {
  EXPECT_EQ(s.cpu_pct, -1.0);
  EXPECT_EQ(s.igpu_pct, -2.0);
  EXPECT_EQ(s.dgpu_pct, -3.0);
  EXPECT_EQ(s.timestamp, Untouched().timestamp);
  EXPECT_FALSE(s.valid);
}

}  // namespace idlewick::testing

#endif  // IDLEWICK_TESTS_HW_SAMPLE_HELPERS_H_
