// The three weights of the device score, and their optional text file.
//
// File format, one setting per line: `w1: 0.7`. "#" starts a comment; the key
// must sit directly before the colon and not be glued to a preceding letter or
// digit; the value is read like strtod in the C locale (the longest number at
// its start). A line sets at most one weight, trying w1, w2, w3 in that order.
// Later lines override earlier ones. Values are taken as they are.
#ifndef IDLEWICK_CORE_SCORING_WEIGHTS_H_
#define IDLEWICK_CORE_SCORING_WEIGHTS_H_

#include <string>

namespace idlewick {

struct ScoringWeights {
  double w1 = 0.5;  // utilization headroom: 1 - utilization_pct / 100
  double w2 = 0.3;  // backlog: 1 / (queue_depth + in_flight + 1)
  double w3 = 0.2;  // latency: 1 / (historical_latency_ms + 1)
};

// Reads the weights from `path`; keys the file does not set keep their
// defaults. Never fails: a missing or unreadable file yields the defaults, a
// read error keeps what was read so far, and a bad value sets nothing.
// Thread-safe (touches no shared state).
ScoringWeights LoadScoringWeights(const std::string& path);

}  // namespace idlewick

#endif  // IDLEWICK_CORE_SCORING_WEIGHTS_H_
